// exFAT from a disk. Every input is first taken as directory bytes: the
// boot-region checks and the entry-set parser with its checksum, timestamps
// and name hash, walked the way the scanner walks a directory (cheap, so
// mutation runs fast). An input that names exFAT in its main or a backup
// boot sector is also a whole-image volume: the volume reader (boot region
// with its backup fallback, FAT, bitmap, up-case table), the scanner's full
// walk and its search of the whole data area for lost folders, the result
// tree, the cluster maps and a few bytes of every file
// found, and the copy of the first ones as the recovery makes it.
#include "engines/exfat/exfat_entry.h"
#include "engines/exfat/exfat_volume.h"
#include "fuzz/fuzz_image_file.h"
#include "ondisk/exfat_boot_sector.h"
#include "scan/exfat/exfat_recovery.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

namespace {

using scanner_c = scan_here_c<exfat_recovery_c>;

struct harness_s {
    fuzz_image_file_c image{"quarvel-fuzz-exfat"};
    scanner_c* scanner = new scanner_c;  // left to the end of the process
    volume_item_s volume;
    std::vector<char16_t> identity_upcase = std::vector<char16_t>(65536);
    std::vector<uint8_t> image_bytes;

    harness_s()
    {
        volume.device_path = QString::fromStdString(image.path());
        volume.root_path = volume.device_path + "/";
        // The search of the whole data area for lost folders runs on every
        // input, whatever the walk found.
        scanner->set_lost_pass(lost_pass_e::on);
        for (size_t i = 0; i < identity_upcase.size(); ++i)
            identity_upcase[i] = static_cast<char16_t>(i);
    }
};

harness_s& harness()
{
    static harness_s h;
    return h;
}

constexpr int max_files_read = 64;
constexpr int max_files_copied = 2;
constexpr size_t bytes_read_per_file = 4096;

void parse_as_directory(const uint8_t* data, size_t size, const char16_t* upcase)
{
    exfat::boot_s boot;
    exfat::parse_boot_region(data, size, &boot);
    exfat::boot_sector_bytes(data, size);
    for (size_t at = 0; at + exfat::entry_bytes <= size; at += exfat::entry_bytes) {
        const uint8_t type = data[at];
        if (type != exfat::type_file && type != exfat::type_file_deleted)
            continue;
        exfat::entry_set_s set;
        if (exfat::parse_entry_set(data + at, size - at, &set) != exfat::set_result::ok)
            continue;
        if (set.name.size() > exfat::max_name_units || set.entry_count() * exfat::entry_bytes > size - at)
            __builtin_trap();
        exfat::timestamp_seconds(set.created);
        exfat::timestamp_seconds(set.modified);
        exfat::timestamp_seconds(set.accessed);
        exfat::name_hash(set.name, upcase);
        at += (set.entry_count() - 1) * exfat::entry_bytes;
    }
}

// The main boot sector, or a backup region after one of any sector size.
bool names_exfat(const uint8_t* data, size_t size)
{
    for (const size_t sector : {size_t{0}, size_t{512}, size_t{1024}, size_t{2048}, size_t{4096}}) {
        const size_t at = sector * exfat::boot_region_sectors + 3;
        if (size >= at + 8 && std::memcmp(data + at, "EXFAT   ", 8) == 0)
            return true;
    }
    return false;
}

// A mutated boot region almost never keeps its checksum, which would hide
// everything behind it. So the checksum of each region is made right unless
// its percent-in-use byte (outside the checksum) is odd: the odd ones still
// reach the checksum test and the fallback to the backup region.
void mend_boot_checksums(std::vector<uint8_t>* image)
{
    for (const size_t start : {size_t{0}, size_t{512} * 12, size_t{1024} * 12, size_t{2048} * 12, size_t{4096} * 12}) {
        if (start >= image->size())
            break;
        uint8_t* region = image->data() + start;
        const size_t available = image->size() - start;
        const uint32_t sector = exfat::boot_sector_bytes(region, available);
        if (sector == 0 || (start != 0 && start != size_t{sector} * exfat::boot_region_sectors) || (region[112] & 1) ||
            available < size_t{sector} * exfat::boot_region_sectors)
            continue;
        const uint32_t sum = exfat::boot_checksum(region, sector);
        for (size_t at = size_t{sector} * 11; at < size_t{sector} * 12; ++at)
            region[at] = static_cast<uint8_t>(sum >> (8 * (at % 4)));
    }
}

void read_some(exfat::volume_c& volume, const exfat_node_s& node)
{
    static uint8_t buffer[bytes_read_per_file];
    const exfat::cluster_map_s map = volume.map_clusters(node.first_cluster, node.size,
                                                         node.stream_flags & exfat::stream_no_fat_chain, node.gone());
    if (volume.read_mapped(map, 0, buffer, sizeof buffer) > sizeof buffer)
        __builtin_trap();
    volume.cluster_in_use(node.first_cluster);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    harness_s& h = harness();
    parse_as_directory(data, size, h.identity_upcase.data());
    if (!names_exfat(data, size))
        return 0;

    std::vector<uint8_t>& image = h.image_bytes;
    image.assign(data, data + std::min(size, fuzz_image_file_c::max_bytes));
    mend_boot_checksums(&image);
    h.image.write(image.data(), image.size());
    scanner_c& scanner = *h.scanner;
    scanner.scan_here(h.volume);
    for (const auto& [id, node] : scanner.store()) {
        QString path;
        scanner.get_full_path(id, &path);
    }

    exfat::volume_c volume;
    if (volume.open(platform::open_byte_source(h.image.path(), nullptr)) != exfat::open_result::ok)
        return 0;
    exfat::cluster_map_s root = volume.map_chain(volume.boot().root_cluster, exfat::max_directory_bytes);
    std::vector<uint8_t> bytes;
    volume.read_all(root, exfat::max_directory_bytes, &bytes);
    if (volume.upcase())
        parse_as_directory(bytes.data(), bytes.size(), volume.upcase());
    int files = 0;
    for (const auto& [id, node] : scanner.store()) {
        if (id == exfat_recovery_c::root_id || node.is_directory())
            continue;
        if (files < max_files_copied) {
            const int64_t id = node.id;
            h.image.copy_out([&](const QString& to) { return scanner.recover_file(id, to); });
        }
        read_some(volume, node);
        if (++files == max_files_read)
            break;
    }
    return 0;
}
