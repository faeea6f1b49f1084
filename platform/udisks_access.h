// The udisks2 way to a disk this process may not open: the system's disk
// service opens it after polkit asked the person, and hands back the
// descriptor. Kept out of quarvel_platform, which has no Qt.
#pragma once

#include "platform/device_access.h"

#include <string>

namespace platform {

// Makes open_device_for_user ask udisks2 first. Call once at start-up.
void install_udisks_access();

// One request: a read-only descriptor (OpenForBackup; OpenDevice "r" where
// the device is held, as a mounted volume is), or a read-write one claimed
// exclusively for the repair (OpenDevice "rw" with O_EXCL: it must read
// back what it wrote, which OpenForRestore's write-only descriptor cannot).
// *unavailable: no system bus, or no udisks2 on it.
int open_through_udisks(const std::string& device, descriptor_mode mode, std::string* error, bool* unavailable,
                        open_refusal_e* refusal = nullptr);

}  // namespace platform
