// The one way a name read from a disk becomes a file name in a destination
// folder. Every scanner's recovery and every preview copy goes through here,
// so a hostile name can never leave the folder or overwrite what a link
// points at.
#pragma once

#include <QString>

// Largest file name, in bytes of UTF-8, that Linux file systems take.
inline constexpr int max_file_name_bytes = 255;

// Returns a single path component made from a name found on a disk:
// "/" and NUL become "_", "." and ".." (and an empty name) get a "_" in
// front, and a name longer than 255 bytes of UTF-8 is cut, keeping its
// extension, without splitting a character.
QString safe_file_name(const QString& disk_name);

// Opens path for writing, created (mode 0644) or truncated, without following
// a symbolic link that stands at its place and refusing anything that is not
// a regular file (a FIFO, a device, a folder). Returns the descriptor, or -1
// with errno set.
int open_recovery_target(const QString& path);
