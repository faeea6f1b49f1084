// The one way a name read from a disk becomes a file name in a destination
// folder. Every scanner's recovery and every preview copy goes through here,
// so a hostile name can never leave the folder or overwrite what a link
// points at.
#pragma once

#include <QString>
#include <cstddef>
#include <cstdint>

// Largest file name, in bytes of UTF-8, that Linux file systems take.
inline constexpr int max_file_name_bytes = 255;

// What names a destination folder's file system can hold: any but "/" and
// NUL (Linux file systems), or only what FAT, exFAT and NTFS take (no
// control characters, none of " * / : < > ? \ |, no trailing dot or blank,
// no device name such as CON or LPT1).
enum class name_rules_e { posix, windows };

// The rules of the file system folder lies on: windows for FAT, exFAT and
// NTFS, mounted by the kernel or through FUSE (a block device served through
// FUSE is taken to be one of them). posix when it cannot be told.
name_rules_e destination_name_rules(const QString& folder);

// Returns a single path component made from a name found on a disk:
// "/" and the control characters (0x00-0x1F, 0x7F) become "_", "." and ".."
// (and an empty name) get a "_" in front, and a name longer than 255 bytes
// of UTF-8 is cut, keeping its extension, without splitting a character.
// Under windows rules the characters those file systems refuse become "_"
// as well, a trailing dot or blank becomes "_", and a device name gets a "_"
// in front ("_CON.txt"); a named stream "doc.txt:secret" becomes
// "doc.txt_secret".
QString safe_file_name(const QString& disk_name, name_rules_e rules = name_rules_e::posix);

// What a file being written carries after its final name until it is
// complete: "report.txt.quarvel-partial". No finished file ends in it: a
// name from a disk that does gets a "_" after it.
inline constexpr const char* partial_name_suffix = ".quarvel-partial";
// The partial name of a file to be called final_name (a single component),
// within 255 bytes.
QString partial_file_name(const QString& final_name);

// The name a recovered file gets on its attempt-th try (1, 2, ...): the
// safe name itself, then "report (2).txt", "report (3).txt", ..., still
// within 255 bytes.
QString numbered_file_name(const QString& disk_name, int attempt, name_rules_e rules = name_rules_e::posix);

// Creates path as a new regular file (mode 0644) for writing. Whatever
// already stands there (a file, a link, a FIFO, a folder) is left alone and
// the call fails with errno EEXIST. Returns the descriptor, or -1 with errno
// set (and, for any failure but EEXIST, the reason kept for
// last_target_failure).
int open_recovery_target(const QString& path);

// While one lives on a thread, open_recovery_target makes its file without
// a name, in path's folder, where the folder's file system can (O_TMPFILE);
// publish_created_target then gives it its first name. A copy cut short by
// a crash, a kill or a power cut leaves nothing at all, and a small file
// costs no partial name made and renamed (about a third more time). The
// caller has seen path free (remove_stale_partial): it is not looked at
// again. Elsewhere the file is made at path as without.
class unnamed_targets_c {
public:
    unnamed_targets_c();
    ~unnamed_targets_c();
    unnamed_targets_c(const unnamed_targets_c&) = delete;
    unnamed_targets_c& operator=(const unnamed_targets_c&) = delete;

private:
    bool was_;
};

// Why the last recovered file on the calling thread could not be created
// ("cannot create a.txt: Invalid argument"); empty when nothing failed since
// forget_target_failure.
QString last_target_failure();
void forget_target_failure();

// A copy cut short by an exception leaves its file open and half written.
// The file open_recovery_target last created on the calling thread is
// remembered; this closes its descriptor (when that is still the file) and
// removes path when path is still that file, never anything else. Returns
// whether a file was removed.
bool remove_created_target(const QString& path);
// Forgets that file: call before a copy whose failure may need the above.
void forget_created_target();

// Removes the file at path (a partial name) when it is a regular file that
// no one is writing: what a recovery cut short by a crash left. A file
// open_recovery_target created is locked while it is written, so one another
// recovery is writing now is left alone. Says whether the name is free now
// (free: nothing stood there; removed: a stale file did) or still taken.
enum class partial_state_e { free, removed, taken };
partial_state_e remove_stale_partial(const QString& path);

// Gives the complete file open_recovery_target last created on the calling
// thread at partial its name final, in the same folder, without replacing
// anything. Returns 0, EEXIST when final is taken (the file keeps its
// partial name), or another errno. Later calls about the file
// (set_created_target_time, remove_created_target) name it by final.
int publish_created_target(const QString& partial, const QString& final);

// Gives the file open_recovery_target last created on the calling thread at
// path the modification and access time seconds (since 1970, UTC), through
// a descriptor kept since its creation, so never another file's; that
// descriptor is closed then. A time of 0 or less is no time: the file keeps
// the time it was written. Returns whether the time was set.
bool set_created_target_time(const QString& path, int64_t seconds);

// Whether path is a folder on which a file system is mounted.
bool is_mount_point(const QString& path);
