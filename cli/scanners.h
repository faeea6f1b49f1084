// Which scanner a volume gets, and what a finished scan found, for the
// scan and recover commands. The choice is the recovery page's: deep scan ->
// raw, "NTFS" -> NTFS, a name beginning "FAT" -> FAT, anything else refused.
// Kept in this header so that the commands need no extra build wiring.
#pragma once

#include "cli/cli.h"
#include "devices/volume_item.h"
#include "platform/drive_table.h"
#include "platform/raw_device.h"
#include "platform/volumes.h"
#include "scan/fat/fat_disk.h"
#include "scan/fat/fat_recovery.h"
#include "scan/ntfs/ntfs_recovery.h"
#include "scan/raw/raw_recovery.h"
#include "scan/recovery_base.h"

#include <QFileInfo>
#include <QString>
#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>
#include <unistd.h>
#include <vector>

namespace cli {

inline std::string utf8(const QString& text) { return text.toUtf8().toStdString(); }
inline QString from_utf8(const std::string& text) { return QString::fromUtf8(text.c_str()); }

// The volume record for a VOLUME argument (a device_path, or an image file
// taken as its whole-image volume). Returns false when there is none.
inline bool volume_for_argument(const std::string& argument, volume_item_s* out)
{
    // "<image>:pN" names a partition of an image that need not have been
    // opened with --image yet.
    std::string image;
    int partition = -1;
    if (platform::split_image_volume_path(argument, &image, &partition) && QFileInfo(from_utf8(image)).isFile() &&
        platform::open_disk_image(image) != 0)
        return false;
    platform::platform_volume_s v;
    if (!platform::find_volume(argument, &v))
        return false;
    out->dos_device = from_utf8(v.dos_device);
    out->device_path = from_utf8(v.device_path);
    out->label = from_utf8(v.label);
    out->file_system = from_utf8(v.file_system);
    out->root_path = from_utf8(v.root_path);
    out->total_bytes = v.total_bytes;
    out->free_bytes = v.free_bytes;
    out->partition_number = v.partition_number;
    out->disk_number = v.disk_number;
    return true;
}

// A new scanner for the volume, or null with a one-line reason.
inline std::unique_ptr<recovery_base_c> make_scanner(const volume_item_s& volume, bool deep, std::string* reason)
{
    if (deep) {
        raw_recovery_c::load_engine_config();
        return std::make_unique<raw_recovery_c>();
    }
    if (volume.file_system == "NTFS")
        return std::make_unique<ntfs_recovery_c>();
    if (volume.file_system.startsWith("FAT")) {
        disk_startup();
        return std::make_unique<fat_recovery_c>();
    }
    *reason = volume.file_system.isEmpty()
                  ? utf8(volume.device_path) + " holds no file system this program can scan (try --deep)"
                  : utf8(volume.device_path) + " holds " + utf8(volume.file_system) +
                        ", which cannot be scanned for deleted files (try --deep)";
    return nullptr;
}

// Runs a scan to its end on this thread's behalf, painting progress on
// stderr the way the recovery page samples it.
inline void run_scan(recovery_base_c& scanner, const volume_item_s& volume)
{
    const bool live = ::isatty(STDERR_FILENO);
    scanner.reset();
    scanner.set_volume(volume);
    scanner.start();
    if (auto* raw = dynamic_cast<raw_recovery_c*>(&scanner)) {
        // The deep scan reports how far through the device it is.
        while (!scanner.wait(200)) {
            if (live)
                std::fprintf(stderr, "\rsearched %.0f of %llu bytes", scanner.get_progress() * double(volume.total_bytes),
                             static_cast<unsigned long long>(volume.total_bytes));
        }
        scanner.set_progress(1.0);
        std::fprintf(stderr, "%ssearched %llu bytes, %zu found\n", live ? "\r" : "",
                     static_cast<unsigned long long>(volume.total_bytes), raw->records().size());
        return;
    }
    while (!scanner.wait(200)) {
        if (live)
            std::fprintf(stderr, "\rreading %lld, found %lld", static_cast<long long>(scanner.get_read_count()),
                         static_cast<long long>(scanner.get_found_count()));
    }
    scanner.set_progress(1.0);
    std::fprintf(stderr, "%sscanned %lld entries, %lld found\n", live ? "\r" : "",
                 static_cast<long long>(scanner.get_read_count()), static_cast<long long>(scanner.get_found_count()));
}

// One row of the file table with the folder it is shown in.
struct found_row_s {
    recovery_item_s item;
    QString folder;  // "/" for the top, "/a/b" below
};

// Every row the result tree and file tables would show after the scan.
inline std::vector<found_row_s> found_rows(recovery_base_c& scanner)
{
    std::vector<found_row_s> rows;
    if (auto* fat = dynamic_cast<fat_recovery_c*>(&scanner)) {
        fat->visit_shown_files([&](const fat_node_s& node, const QString& folder) {
            rows.push_back({fat_recovery_c::row_of(node), folder});
        });
    }
    if (auto* raw = dynamic_cast<raw_recovery_c*>(&scanner)) {
        for (auto& r : raw->all_rows())
            rows.push_back({r.row, "/" + from_utf8(r.folder)});
    }
    if (auto* ntfs = dynamic_cast<ntfs_recovery_c*>(&scanner)) {
        ntfs->visit_shown_files([&](const ntfs_node_s& node, const QString& folder) {
            rows.push_back({ntfs_recovery_c::row_of(node), folder});
        });
    }
    return rows;
}

// Why a finished scan found nothing because it could not read the volume,
// in one line; empty when it ran.
inline std::string scan_failure(recovery_base_c& scanner, const volume_item_s& volume)
{
    const std::string name = utf8(volume.device_path);
    if (auto* fat = dynamic_cast<fat_recovery_c*>(&scanner)) {
        const auto& o = fat->outcome();
        if (!o.mapped)
            return "cannot locate " + name + " on its drive";
        switch (o.root_result) {
        case fr_ok: return {};
        case fr_no_filesystem: return name + " holds no valid FAT file system (boot sector rejected)";
        case fr_disk_error: return name + ": read error while mounting (damaged or truncated volume?)";
        case fr_not_ready: return name + ": drive not ready";
        default: return name + ": cannot open the top folder (result " + std::to_string(o.root_result) + ")";
        }
    }
    if (dynamic_cast<raw_recovery_c*>(&scanner)) {
        platform::raw_device_c device;
        if (device.open(utf8(volume.device_path)) != 0)
            return name + ": cannot be read (" + device.error() + ")";
        return {};
    }
    if (auto* ntfs = dynamic_cast<ntfs_recovery_c*>(&scanner)) {
        switch (ntfs->startup_result()) {
        case 0: return {};
        case -1: return "cannot locate " + name + " on its drive";
        case -2: return name + ": cannot be read";
        case -3: return name + " holds no valid NTFS file system (boot sector rejected)";
        default: return name + ": its $MFT cannot be read (damaged or truncated volume?)";
        }
    }
    return {};
}

// What a scan that ran had to skip, in one line; empty when nothing.
inline std::string scan_warning(recovery_base_c& scanner)
{
    if (auto* fat = dynamic_cast<fat_recovery_c*>(&scanner)) {
        const auto& o = fat->outcome();
        const int64_t damaged = o.folders_cut_short + o.folders_unopened;
        std::string text;
        if (damaged > 0)
            text = std::to_string(damaged) + " folder(s) could not be read to the end (damaged or truncated volume)";
        if (o.folders_too_deep > 0)
            text += std::string(text.empty() ? "" : "; ") + std::to_string(o.folders_too_deep) +
                    " folder(s) nested too deep were not entered";
        if (!text.empty())
            text += "; what was found is listed";
        if (o.deleted_folders_cut_short > 0)
            text += std::string(text.empty() ? "" : "; ") + std::to_string(o.deleted_folders_cut_short) +
                    " deleted folder(s) were read only to the end of their first cluster (a deleted folder's "
                    "cluster chain is freed); a deep scan may find more of their files";
        return text;
    }
    if (auto* ntfs = dynamic_cast<ntfs_recovery_c*>(&scanner)) {
        const auto& s = ntfs->engine_stats();
        if (s.records_corrupt > 0 || s.read_errors > 0)
            return std::to_string(s.records_corrupt) + " damaged MFT record(s) skipped, " +
                   std::to_string(s.read_errors) + " read error(s); what was found is listed";
    }
    return {};
}

// Scans the volume to its end with the scanner the recovery page would
// choose. Returns the finished scanner, or null with a one-line reason;
// what the scan had to skip is said on stderr.
inline std::unique_ptr<recovery_base_c> scan_volume(const volume_item_s& volume, bool deep, std::string* reason)
{
    auto scanner = make_scanner(volume, deep, reason);
    if (!scanner)
        return nullptr;
    run_scan(*scanner, volume);
    *reason = scan_failure(*scanner, volume);
    if (!reason->empty())
        return nullptr;
    const std::string warning = scan_warning(*scanner);
    if (!warning.empty())
        std::fprintf(stderr, "quarvel-cli: %s\n", warning.c_str());
    return scanner;
}

// Every found row, by folder and then by name: the order the commands list.
inline std::vector<found_row_s> sorted_found_rows(recovery_base_c& scanner)
{
    auto rows = found_rows(scanner);
    std::stable_sort(rows.begin(), rows.end(), [](const auto& a, const auto& b) {
        return a.folder != b.folder ? a.folder < b.folder : a.item.name < b.item.name;
    });
    return rows;
}

// Prints rows with the file table's columns.
inline void print_found_rows(const std::vector<found_row_s>& rows, bool json)
{
    table_c table({"id", "folder", "name", "size", "date1", "date2", "flags"});
    for (const auto& r : rows)
        table.add_row({r.item.id, utf8(r.folder), utf8(r.item.name), r.item.size, r.item.date1, r.item.date2,
                       uint64_t{static_cast<uint32_t>(r.item.flags)}});
    table.print(json);
}

}  // namespace cli
