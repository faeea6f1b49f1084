// The drive table: every whole disk the program may read, by number.
// Entries 0.. are the machine's block devices in /sys/block name order, then the
// disk images the user opened, in the order opened; never more than ten.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace platform {

inline constexpr int max_drives = 10;

struct drive_entry_s {
    std::string device_path;  // "/dev/sdb" or the absolute path of an image file
    std::string name;         // kernel name ("sdb") or the image's file name
    bool is_image = false;
    bool removable = false;   // images count as removable
};

// Snapshot of the table; safe to call from any thread.
std::vector<drive_entry_s> drive_table();

// Entry N of the table, or nothing when N is out of range.
std::optional<drive_entry_s> drive_at(int number);

// Drive number whose device_path equals path, or -1.
int drive_number_of(const std::string& device_path);

// Re-reads /sys/block. Opened images stay, after the block devices.
void rescan_block_devices();

// Adds a disk image. Returns 0, or -1 with a one-line reason in *error
// (missing, unreadable, empty, a directory, table full). An image already
// open is not added twice and counts as success.
int open_disk_image(const std::string& path, std::string* error = nullptr);

// Forgets every opened image (tests and the CLI start clean).
void close_disk_images();

// What sysfs says of block disk NAME ("sdb"), for a disk this process may
// not open: its size in bytes and its logical sector size (512 when unsaid).
uint64_t block_device_size_from_sysfs(const std::string& name);
uint32_t block_device_sector_size_from_sysfs(const std::string& name);

// Test hook: when set, block devices are not listed, so a test sees only the
// images it opened whatever machine it runs on.
void set_block_devices_enabled(bool enabled);

}  // namespace platform
