// Process services that need Qt: the single-instance lock, the user-scope
// language store, and opening folders and pages with the desktop.
#pragma once

#include <QString>
#include <QUrl>
#include <memory>

class QLockFile;

namespace platform {

// Takes the "Quarvel.lock" lock in the runtime folder. Returns the held lock,
// or null when another instance holds it.
std::unique_ptr<QLockFile> take_single_instance_lock();

// The stored interface language number (1..10), or 0 when none is stored.
int stored_language_number();
void store_language_number(int number);

// The language number the user's locale suggests (1..10).
int locale_language_number(const QString& locale_name);

// The stored number, else the locale's: what the language lookup reads.
int language_number_from_store();

// Opens a folder or a web page with the desktop. Tests switch this off so
// that no file manager appears; calls are then only counted.
void shell_open(const QUrl& url);
void set_shell_open_enabled(bool enabled);
int shell_open_calls();

// Nothing to prepare the disks with on this platform; kept as the hook the
// start-up thread calls.
void disk_startup_step();

}  // namespace platform
