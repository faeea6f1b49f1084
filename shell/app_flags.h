// Process-wide state flags shared by the start-up thread, the main window and
// the pages. Atomics, because the start-up and scan threads write them while
// the GUI thread reads.
#pragma once

#include <atomic>

// Set once by the start-up thread when the device lists are filled, just
// before it emits init_finished(); never cleared.
extern std::atomic<bool> startup_done;
