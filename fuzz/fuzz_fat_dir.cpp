// The FAT reader and scanner on a whole-image volume made of the input:
// mount, the scanner's full walk (deleted entries, long names recovered from
// deleted pieces, nested and deleted folders), the search of the whole data
// area for lost folders, the result tree, path lookup
// by the names found, a few bytes of every file found, through its chain
// and as a contiguous run, and the copy of the first ones as the recovery
// makes it.
#include "engines/fat/fat_fs.h"
#include "engines/fat/fat_trust.h"
#include "fuzz/fuzz_image_file.h"
#include "platform/drive_table.h"
#include "scan/fat/fat_recovery.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace {

using scanner_c = scan_here_c<fat_recovery_c>;

struct harness_s {
    fuzz_image_file_c image{"quarvel-fuzz-fat"};
    scanner_c* scanner = new scanner_c;  // left to the end of the process
    volume_item_s volume;

    harness_s()
    {
        platform::set_block_devices_enabled(false);
        platform::close_disk_images();
        if (platform::open_disk_image(image.path()) != 0)
            __builtin_trap();
        volume.device_path = QString::fromStdString(image.path());
        volume.root_path = volume.device_path + "/";
        // The search of the whole data area for lost folders runs on every
        // input, whatever the walk found.
        scanner->set_lost_pass(lost_pass_e::on);
    }
};

harness_s& harness()
{
    static harness_s h;
    return h;
}

constexpr int max_files_read = 64;
constexpr int max_files_copied = 2;
constexpr uint32_t bytes_read_per_file = 4096;
constexpr int max_paths_looked_up = 8;

// Reads up to a few bytes of a found entry, both ways the program does.
void read_some(fat_volume_s* fs, const fat_node_s& node)
{
    static uint8_t buffer[bytes_read_per_file];
    for (const bool contiguous : {false, true}) {
        fat_file_s file;
        if (fat_file_setup(&file, fs, node.cluster, node.size) != fr_ok)
            return;
        file.skip_allocated = contiguous && (node.trust & fat_row_gaps_skipped);
        uint32_t delivered = 0;
        f_read(&file, buffer, sizeof buffer, &delivered, contiguous);
        if (delivered > sizeof buffer)
            __builtin_trap();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    harness_s& h = harness();
    h.image.write(data, size);
    scanner_c& scanner = *h.scanner;
    scanner.scan_here(h.volume);
    int copied = 0;
    for (const auto& [cluster, node] : scanner.store()) {
        QString path;
        scanner.get_full_path(cluster, &path);
        if (node.cluster != 0 && !(node.attributes & fat_attr_directory) && copied++ < max_files_copied) {
            const int64_t id = node.cluster;
            h.image.copy_out([&](const QString& to) { return scanner.recover_file(id, to); });
        }
    }

    // A fresh volume object reads the files and looks the found folders up
    // by name.
    fat_volume_s fs;
    fat_attach(&fs, platform::open_byte_source(h.image.path(), nullptr));
    fat_dir_s dir;
    if (f_opendir(&dir, &fs, u"/") == fr_ok) {
        int files = 0, paths = 0;
        for (const auto& [cluster, node] : scanner.store()) {
            if (node.cluster == 0)
                continue;
            if (!(node.attributes & fat_attr_directory) && files < max_files_read) {
                read_some(&fs, node);
                ++files;
            } else if (paths < max_paths_looked_up && node.parent == 0 && !node.name.isEmpty()) {
                const std::u16string path = u"/" + node.name.toStdU16String();
                f_opendir(&dir, &fs, path.c_str());
                ++paths;
            }
        }
        f_opendir_cluster(&dir, &fs, 2);
    }
    return 0;
}
