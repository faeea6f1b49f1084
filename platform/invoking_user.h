// A program run as root through sudo or pkexec works for the person who ran
// it: what it creates for them (recovered files, scan files, the folders it
// makes) must be theirs to open and delete.
#pragma once

#include <string>
#include <sys/types.h>

namespace platform {

// The invoking user's ids when this process runs as root on their behalf
// (SUDO_UID and SUDO_GID, or PKEXEC_UID with that user's primary group).
// Returns false otherwise, or when the variables do not hold plain ids.
bool invoking_user(uid_t* uid, gid_t* gid);

// Gives a file or folder this process created to the invoking user; does
// nothing when there is none. Never follows a symbolic link.
void hand_to_invoking_user(const std::string& path);
void hand_to_invoking_user(int fd);

// Makes folder and any missing parents, handing each one it made to the
// invoking user. Modes follow the umask. Returns true when folder exists as
// a folder afterwards.
bool make_folder_for_user(const std::string& folder);

}  // namespace platform
