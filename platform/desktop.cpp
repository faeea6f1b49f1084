#include "platform/desktop.h"

#include <QDesktopServices>
#include <atomic>

namespace platform {

namespace {
std::atomic<bool> shell_enabled {true};
std::atomic<int> shell_calls {0};
}  // namespace

void shell_open(const QUrl& url)
{
    ++shell_calls;
    if (shell_enabled)
        QDesktopServices::openUrl(url);
}

void set_shell_open_enabled(bool enabled) { shell_enabled = enabled; }
int shell_open_calls() { return shell_calls; }

}  // namespace platform
