// Partition tables and file systems read from a source's bytes, for disks
// libblkid cannot see: those inside an image container. Everything here comes
// from the disk and is checked before use.
#include "ondisk/byte_order.h"
#include "ondisk/fat_boot_sector.h"
#include "ondisk/gpt.h"
#include "ondisk/ntfs_boot_sector.h"
#include "ondisk/partition_table.h"
#include "platform/byte_source.h"
#include "platform/partitions.h"

#include <algorithm>
#include <cstring>
#include <set>
#include <vector>

namespace platform {

namespace {

// More logical partitions than any tool makes; a longer chain is a loop.
constexpr int max_logical = 128;
// A GPT with more entries than this is not one any tool wrote.
constexpr uint32_t max_gpt_entries = 1024;

bool read_exact(const byte_source_c& disk, uint64_t offset, std::vector<uint8_t>& buffer)
{
    return disk.read_at(offset, buffer.data(), buffer.size()) == int64_t(buffer.size());
}

bool power_of_two_in(uint64_t v, uint64_t low, uint64_t high) { return v >= low && v <= high && (v & (v - 1)) == 0; }

// Adds a partition given in sectors, clipped to the disk; one that starts
// past the end, or overlaps or repeats an earlier one, is left out.
void add(std::vector<partition_s>& out, int number, uint64_t first, uint64_t count, uint64_t disk_sectors,
         uint32_t sector, const char* table)
{
    if (count == 0 || first == 0 || first >= disk_sectors)
        return;
    if (count > disk_sectors - first)
        count = disk_sectors - first;
    partition_s p;
    p.number = number;
    p.start_bytes = first * sector;
    p.size_bytes = count * sector;
    p.table_type = table;
    for (const auto& e : out)
        if (e.number == number ||
            (e.start_bytes < p.start_bytes + p.size_bytes && p.start_bytes < e.start_bytes + e.size_bytes))
            return;
    out.push_back(p);
}

// A volume's boot sector at sector 0 also ends in 0x55 0xAA; its entry
// area is boot code, where a table's boot flags are not 0x00 or 0x80.
bool looks_like_table(const uint8_t* s)
{
    if (!ondisk::has_table_signature(s))
        return false;
    if (std::memcmp(s + 3, "NTFS    ", 8) == 0 || std::memcmp(s + 3, "EXFAT   ", 8) == 0)
        return false;
    for (int i = 0; i < 4; ++i) {
        const uint8_t flag = s[ondisk::mbr::entries + size_t(i) * ondisk::mbr::entry_size];
        if (flag != 0x00 && flag != 0x80)
            return false;
    }
    return true;
}

void read_gpt(const byte_source_c& disk, uint32_t sector, uint64_t disk_sectors, std::vector<partition_s>& out)
{
    std::vector<uint8_t> header(sector);
    if (!read_exact(disk, sector, header))
        return;
    const ondisk::gpt_header_fields_s h = ondisk::decode_gpt_header_fields(header.data());
    if (!h.signature || h.entry_size < 128 || h.entry_size > 4096 || h.entry_size % 8 != 0 || h.entry_count == 0 ||
        h.entries_lba < 2 || h.entries_lba >= disk_sectors)
        return;
    const uint32_t count = std::min(h.entry_count, max_gpt_entries);
    std::vector<uint8_t> entries(size_t(count) * h.entry_size);
    if (disk.read_at(h.entries_lba * sector, entries.data(), entries.size()) != int64_t(entries.size()))
        return;
    for (uint32_t i = 0; i < count; ++i) {
        const ondisk::gpt_entry_fields_s e = ondisk::decode_gpt_entry_fields(entries.data() + size_t(i) * h.entry_size);
        if (e.used() && e.last_lba >= e.first_lba)
            add(out, int(i) + 1, e.first_lba, e.last_lba - e.first_lba + 1, disk_sectors, sector, "gpt");
    }
}

void read_logical(const byte_source_c& disk, uint32_t sector, uint64_t disk_sectors, uint64_t extended_start,
                  std::vector<partition_s>& out)
{
    std::vector<uint8_t> ebr(sector);
    std::set<uint64_t> seen;
    uint64_t at = extended_start;
    for (int number = 5; number < 5 + max_logical; ++number) {
        if (at >= disk_sectors || !seen.insert(at).second || !read_exact(disk, at * sector, ebr) ||
            !ondisk::has_table_signature(ebr.data()))
            return;
        const ondisk::mbr_entry_s logical = ondisk::decode_mbr_entry(ebr.data(), 0);
        const ondisk::mbr_entry_s next = ondisk::decode_mbr_entry(ebr.data(), 1);
        if (logical.used())
            add(out, number, at + logical.first_lba, logical.sectors, disk_sectors, sector, "dos");
        if (!next.used() || !next.extended())
            return;
        at = extended_start + next.first_lba;
    }
}

}  // namespace

bool has_partition_table(const byte_source_c& disk)
{
    std::vector<uint8_t> first(std::max<uint32_t>(disk.sector_size(), 512));
    return disk.size() >= first.size() && read_exact(disk, 0, first) && looks_like_table(first.data());
}

std::vector<partition_s> read_partitions(const byte_source_c& disk)
{
    std::vector<partition_s> out;
    const uint32_t sector = std::max<uint32_t>(disk.sector_size(), 512);
    const uint64_t disk_sectors = disk.size() / sector;
    std::vector<uint8_t> first(sector);
    if (disk_sectors < 2 || !read_exact(disk, 0, first) || !looks_like_table(first.data()))
        return out;
    for (int i = 0; i < 4; ++i)
        if (ondisk::decode_mbr_entry(first.data(), i).type == ondisk::mbr::type_protective) {
            read_gpt(disk, sector, disk_sectors, out);
            return out;
        }
    bool extended_seen = false;
    for (int i = 0; i < 4; ++i) {
        const ondisk::mbr_entry_s e = ondisk::decode_mbr_entry(first.data(), i);
        if (!e.used())
            continue;
        if (e.extended()) {
            if (!extended_seen)
                read_logical(disk, sector, disk_sectors, e.first_lba, out);
            extended_seen = true;
            continue;
        }
        add(out, i + 1, e.first_lba, e.sectors, disk_sectors, sector, "dos");
    }
    return out;
}

bool probe_filesystem(const byte_source_c& disk, uint64_t offset, uint64_t size, filesystem_info_s* info)
{
    if (offset >= disk.size())
        return false;
    if (size == 0 || size > disk.size() - offset)
        size = disk.size() - offset;
    std::vector<uint8_t> boot(512);
    if (!read_exact(disk, offset, boot))
        return false;
    const uint8_t* s = boot.data();
    filesystem_info_s fs;

    if (std::memcmp(s + 3, "EXFAT   ", 8) == 0) {
        const unsigned sector_shift = s[108], cluster_shift = s[109];
        const uint64_t volume_sectors = le64(s + 72);
        if (sector_shift < 9 || sector_shift > 12 || cluster_shift > 25 - sector_shift || volume_sectors == 0 ||
            volume_sectors > (size >> sector_shift))
            return false;
        fs.type = "exfat";
        fs.volume_bytes = volume_sectors << sector_shift;
    } else if (const ondisk::ntfs_boot_sector_s n = ondisk::decode_ntfs_boot_sector(s); n.ntfs_oem_id) {
        const uint8_t spc = n.sectors_per_cluster;
        const bool cluster_ok = power_of_two_in(spc, 1, 128) || (spc >= 0xF4);
        if (!n.signature || !power_of_two_in(n.bytes_per_sector, 512, 4096) || !cluster_ok || n.total_sectors == 0 ||
            n.total_sectors > size / n.bytes_per_sector || n.mft_lcn == 0)
            return false;
        fs.type = "ntfs";
        fs.volume_bytes = std::min(size, (n.total_sectors + 1) * n.bytes_per_sector);
    } else {
        const ondisk::fat_boot_sector_s b = ondisk::decode_fat_boot_sector(s);
        if (!b.signature || !power_of_two_in(b.bytes_per_sector, 512, 4096) ||
            !power_of_two_in(b.sectors_per_cluster, 1, 128) || b.reserved_sectors == 0 || b.fat_count == 0 ||
            b.fat_count > 4 || b.fat_sectors == 0 || b.total_sectors == 0 ||
            uint64_t(b.total_sectors) > size / b.bytes_per_sector)
            return false;
        const uint64_t root_sectors = (uint64_t(b.root_entries) * 32 + b.bytes_per_sector - 1) / b.bytes_per_sector;
        const uint64_t meta = b.reserved_sectors + uint64_t(b.fat_count) * b.fat_sectors + root_sectors;
        if (meta >= b.total_sectors)
            return false;
        const uint64_t clusters = (b.total_sectors - meta) / b.sectors_per_cluster;
        fs.type = "vfat";
        fs.volume_bytes = uint64_t(b.total_sectors) * b.bytes_per_sector;
        fs.fat_version = clusters < 4085 ? "FAT12" : clusters < 65525 ? "FAT16" : "FAT32";
        if (fs.fat_version == "FAT32" && b.root_entries != 0)
            return false;
        // The label the formatter wrote beside the boot signature 0x29.
        const size_t ext = fs.fat_version == "FAT32" ? 64 : 36;
        if (s[ext + 2] == 0x29) {
            std::string label(reinterpret_cast<const char*>(s + ext + 7), 11);
            while (!label.empty() && (label.back() == ' ' || label.back() == '\0'))
                label.pop_back();
            if (label != "NO NAME")
                fs.label = label;
        }
    }
    if (info)
        *info = fs;
    return true;
}

}  // namespace platform
