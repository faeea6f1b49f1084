// Where the program may write: never onto what it scans. A recovered file, a
// scan file or a preview copy written onto the scanned device, or into a file
// system stored on it, can overwrite the very bytes still to be recovered.
#pragma once

#include <chrono>
#include <string>
#include <sys/types.h>
#include <vector>

namespace platform {

enum class output_kind {
    file,    // a file to be created or replaced
    folder,  // a folder that files will be created in
};

// Why target must not be written while the volume scanned_device_path
// ("/dev/sdb1", "/abs/card.img:p1", or an image path) is the source; an
// empty string when it may. Refused: the scanned device or image itself
// (same device and inode), a block device or any other file that is not a
// regular file (a folder for output_kind::folder), and any place on a file
// system backed by the scanned device or image, told by device and inode
// numbers rather than by names (which a rename or a second link changes):
// mounted from it or from a partition or a whole disk that overlaps it,
// through a loop device whose backing file it is (as the loop driver
// identifies that file), a device mapped over one of those, an overlay one
// of whose folders lies on such a file system, a bind mount of any of them,
// or a FUSE mount of the image file. A FUSE mount is refused too while a
// process that serves FUSE file systems holds the source open, or another
// process has it open for writing, since which mount a FUSE process serves
// cannot be told. The reason is one line naming target.
std::string output_refusal(const std::string& target, const std::string& scanned_device_path,
                           output_kind kind = output_kind::file);

// The same checks on a file already opened for writing (the open may have
// raced with a rename): fd must be a regular file that is not the source.
std::string open_output_refusal(int fd, const std::string& target, const std::string& scanned_device_path);

// The check of each folder a recovery creates or enters below a destination
// that passed output_refusal. Folder names come from the disk, so a card can
// name a folder after the place it is mounted at: a folder that is a mount
// point (another file system than the folder it lies in) is never entered,
// and one that lies on a file system stored on the source is refused.
class folder_guard_c {
public:
    explicit folder_guard_c(std::string scanned_device_path) : source_(std::move(scanned_device_path)) {}

    // Why no file may be written in folder_fd, opened by name from
    // parent_fd (parent_fd -1: folder_fd is the destination itself, which
    // may be a mount point); empty when it may. shown names the folder in
    // the reason. *mount_point tells a mount point from other refusals.
    std::string refusal(int parent_fd, int folder_fd, const std::string& shown, bool* mount_point = nullptr);

private:
    std::string source_;
    // The mount table and the processes holding the source are read once a
    // second at most, not once per folder.
    dev_t passed_device_ = 0;
    bool passed_ = false;
    std::chrono::steady_clock::time_point passed_at_;
};

// The file systems mounted now that are stored on source_path (a whole disk,
// a partition or an image file), each as "/dev/loop3p1 on /mnt/card", and
// the FUSE servers that hold it open ("a FUSE file system served by ntfs-3g
// (pid 812)"). Empty when nothing mounted is stored on it.
std::vector<std::string> mounts_stored_on(const std::string& source_path);

}  // namespace platform
