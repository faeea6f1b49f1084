#include "shell/app_flags.h"

std::atomic<bool> startup_done{false};
