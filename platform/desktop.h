// Opening folders and pages with the desktop: the one service that needs Qt
// Gui, apart from the rest so that quarvel-cli does not link it.
#pragma once

#include <QUrl>

namespace platform {

// Opens a folder or a web page with the desktop. Tests switch this off so
// that no file manager appears; calls are then only counted.
void shell_open(const QUrl& url);
void set_shell_open_enabled(bool enabled);
int shell_open_calls();

}  // namespace platform
