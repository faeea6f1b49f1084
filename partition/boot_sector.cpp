#include "partition/boot_sector.h"

#include "ondisk/exfat_boot_sector.h"
#include "ondisk/fat_boot_sector.h"
#include "ondisk/ntfs_boot_sector.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace partition {

namespace {

bool is_power_of_two(unsigned value) { return value != 0 && (value & (value - 1)) == 0; }

bool fat32_by_oem_name(const uint8_t* s, size_t available, uint32_t ss)
{
    if (available < size_t(ss) + sector_bytes)
        return false;
    if (!has_boot_signature(s) || !has_boot_signature(s + ss))
        return false;
    const ondisk::fat_boot_sector_s boot = ondisk::decode_fat_boot_sector(s);
    return std::memcmp(boot.oem_name, "MSWIN", 5) == 0 || std::memcmp(boot.oem_name, "MSDOS", 5) == 0;
}

bool fat32_by_structure(const uint8_t* s, size_t available, uint32_t ss)
{
    if (available < size_t(ss) + sector_bytes || !has_boot_signature(s))
        return false;
    const ondisk::fat_boot_sector_s boot = ondisk::decode_fat_boot_sector(s);
    if (boot.bytes_per_sector != ss)
        return false;
    if (!is_power_of_two(boot.sectors_per_cluster))
        return false;
    const unsigned reserved = boot.reserved_sectors;
    const unsigned fats = boot.fat_count;
    if (reserved == 0 || (fats != 1 && fats != 2))
        return false;
    if (boot.root_entries != 0 || boot.fat_sectors32 == 0)
        return false;
    if (!boot.fat32_label)
        return false;
    // The FSInfo sector lies in the reserved area; it is checked where the
    // buffer holds it (always for the usual sector 1).
    const unsigned fsinfo = boot.fsinfo_sector;
    if (fsinfo == 0 || fsinfo >= reserved || size_t(fsinfo) * ss + sector_bytes > available)
        return false;
    return ondisk::decode_fsinfo(s + size_t(fsinfo) * ss).valid;
}

// length bytes at offset, all of them read from the medium.
bool read_sound(const platform::byte_source_c& device, uint64_t offset, uint8_t* buffer, size_t length)
{
    return device.read_at(offset, buffer, length) == int64_t(length) && !device.any_unreadable_in(offset, length);
}

// Whether an exFAT FAT starts at offset: media entry 0xFFFFFFF8, then 0xFFFFFFFF.
bool fat_starts_at(const platform::byte_source_c& device, uint64_t offset)
{
    uint8_t head[8];
    return read_sound(device, offset, head, sizeof head) && le32(head) == 0xFFFFFFF8u && le32(head + 4) == 0xFFFFFFFFu;
}

// Whether a FAT32 FAT starts at offset: entry 0 is the media byte with the
// rest of its 28 bits set, entry 1 an end-of-chain mark (its two top bits
// are the volume's clean and error flags).
bool fat32_starts_at(const platform::byte_source_c& device, uint64_t offset, uint8_t media)
{
    uint8_t head[8];
    return read_sound(device, offset, head, sizeof head) && (le32(head) & 0x0FFFFFFFu) == (0x0FFFFF00u | media) &&
           (le32(head + 4) & 0x03FFFFFFu) == 0x03FFFFFFu;
}

// Whether FAT #1 or FAT #2 of the volume b describes starts where a volume
// at byte `start` would put it.
bool fat32_fats_at(const platform::byte_source_c& device, uint64_t start, const ondisk::fat_boot_sector_s& b,
                   uint64_t bps)
{
    for (uint64_t fat = 0; fat < std::min<uint64_t>(b.fat_count, 2); ++fat)
        if (fat32_starts_at(device, start + (b.reserved_sectors + fat * b.fat_sectors) * bps, b.media))
            return true;
    return false;
}

bool same_fat_geometry(const ondisk::fat_boot_sector_s& a, const ondisk::fat_boot_sector_s& b)
{
    return a.signature && a.bytes_per_sector == b.bytes_per_sector &&
           a.sectors_per_cluster == b.sectors_per_cluster && a.reserved_sectors == b.reserved_sectors &&
           a.fat_count == b.fat_count && a.total_sectors == b.total_sectors && a.fat_sectors == b.fat_sectors &&
           a.root_cluster == b.root_cluster;
}

// An NTFS cluster in bytes, or 0 where the field makes none.
uint64_t ntfs_cluster_bytes(const ondisk::ntfs_boot_sector_s& b, uint64_t bps)
{
    const unsigned v = b.sectors_per_cluster;
    if (v <= 0x80)
        return is_power_of_two(v) ? v * bps : 0;
    const unsigned shift = 256 - v;  // a negative power of two: the cluster in bytes
    return shift >= 9 && shift <= 21 ? uint64_t{1} << shift : 0;
}

// Whether the MFT (or its mirror) of the volume b describes begins, with a
// "FILE" record, where a volume at byte `start` would put it.
bool ntfs_mft_at(const platform::byte_source_c& device, uint64_t start, const ondisk::ntfs_boot_sector_s& b,
                 uint64_t cluster)
{
    for (const uint64_t lcn : {b.mft_lcn, b.mftmirr_lcn}) {
        if (lcn > (device.size() - std::min(start, device.size())) / cluster)
            continue;
        uint8_t magic[4];
        if (read_sound(device, start + lcn * cluster, magic, sizeof magic) && std::memcmp(magic, "FILE", 4) == 0)
            return true;
    }
    return false;
}
}  // namespace

bool has_boot_signature(const uint8_t* sector) { return ondisk::has_boot_signature(sector); }

bool is_ntfs_boot_sector(const uint8_t* sector)
{
    const ondisk::ntfs_boot_sector_s boot = ondisk::decode_ntfs_boot_sector(sector);
    return boot.signature && boot.ntfs_oem_id;
}

bool is_fat32_boot_sector(const uint8_t* sector, size_t available, uint32_t ss)
{
    return fat32_by_oem_name(sector, available, ss) || fat32_by_structure(sector, available, ss);
}

uint64_t fat16_volume_bytes(const uint8_t* s, uint32_t ss, const char** fat)
{
    const ondisk::fat_boot_sector_s b = ondisk::decode_fat_boot_sector(s);
    if (!b.signature || !b.fat_label16 || b.bytes_per_sector != ss || !is_power_of_two(b.sectors_per_cluster) ||
        b.reserved_sectors == 0 || b.fat_count == 0 || b.fat_count > 2 || b.root_entries == 0 ||
        le16(s + ondisk::fat_boot::fat_sectors16) == 0 || b.total_sectors == 0)
        return 0;
    const uint64_t root_sectors = (uint64_t(b.root_entries) * 32 + ss - 1) / ss;
    const uint64_t meta = b.reserved_sectors + uint64_t(b.fat_count) * b.fat_sectors + root_sectors;
    if (meta >= b.total_sectors)
        return 0;
    const uint64_t clusters = (b.total_sectors - meta) / b.sectors_per_cluster;
    if (clusters >= 65525)
        return 0;
    *fat = clusters < 4085 ? "FAT12" : "FAT16";
    return uint64_t(b.total_sectors) * ss;
}

uint64_t ntfs_partition_sectors(const uint8_t* sector)
{
    return ondisk::decode_ntfs_boot_sector(sector).total_sectors + 1;
}

uint64_t fat32_partition_sectors(const uint8_t* sector)
{
    // A small FAT32 volume keeps its count in the 16-bit field.
    return ondisk::decode_fat_boot_sector(sector).total_sectors;
}

bool fat_root_has_efi(const platform::byte_source_c& device, uint64_t offset, const uint8_t* boot)
{
    constexpr size_t entry = 32, most = 64 * 1024;
    const ondisk::fat_boot_sector_s b = ondisk::decode_fat_boot_sector(boot);
    const uint64_t bps = b.bytes_per_sector;
    if (bps < 512 || bps > 4096 || b.sectors_per_cluster == 0 || b.fat_sectors == 0)
        return false;
    uint64_t root = offset + (b.reserved_sectors + uint64_t(b.fat_count) * b.fat_sectors) * bps;
    uint64_t length = uint64_t(b.root_entries) * entry;
    if (b.root_entries == 0) {  // FAT32: the root is a cluster chain; its first cluster
        if (b.root_cluster < 2)
            return false;
        const uint64_t cluster = uint64_t(b.sectors_per_cluster) * bps;
        root += (uint64_t(b.root_cluster) - 2) * cluster;
        length = cluster;
    }
    length = std::min<uint64_t>(length, most);
    std::vector<uint8_t> dir(size_t(length / entry * entry));
    if (dir.empty() || device.read_at(root, dir.data(), dir.size()) != int64_t(dir.size()))
        return false;
    for (size_t at = 0; at < dir.size(); at += entry) {
        const uint8_t* e = dir.data() + at;
        if (e[0] == 0x00)
            return false;  // the end of the folder
        const uint8_t attributes = e[11];
        if (e[0] == 0xE5 || (attributes & 0x0F) == 0x0F)
            continue;  // deleted, or a long-name piece
        if ((attributes & 0x10) && std::memcmp(e, "EFI        ", 11) == 0)
            return true;
    }
    return false;
}

uint64_t exfat_partition_sectors(const platform::byte_source_c& device, uint64_t offset, const uint8_t* sector,
                                 uint64_t* start)
{
    *start = offset;
    const uint32_t exfat_sector = exfat::boot_sector_bytes(sector, sector_bytes);
    if (exfat_sector == 0)
        return 0;
    // The region may run past the search's block, so it is read on its own.
    std::vector<uint8_t> region(size_t{exfat_sector} * exfat::boot_region_sectors);
    if (!read_sound(device, offset, region.data(), region.size()))
        return 0;
    exfat::boot_s boot;
    if (exfat::parse_boot_region(region.data(), region.size(), &boot) != exfat::boot_result::ok)
        return 0;
    // The backup region is a copy of the main one, twelve sectors on. Found
    // alone (the main one damaged) it would put the volume's start twelve
    // sectors late; the FAT, whose first two entries are fixed, tells which
    // region this is.
    const uint64_t region_bytes = region.size();
    const uint64_t fat_bytes = uint64_t{boot.fat_offset} * exfat_sector;
    if (!fat_starts_at(device, offset + fat_bytes) && offset >= region_bytes &&
        fat_starts_at(device, offset - region_bytes + fat_bytes))
        *start = offset - region_bytes;
    return boot.volume_bytes() / sector_bytes;
}

uint64_t fat32_volume_start(const platform::byte_source_c& device, uint64_t at, const uint8_t* boot, uint32_t ss)
{
    const ondisk::fat_boot_sector_s b = ondisk::decode_fat_boot_sector(boot);
    const uint64_t bps = b.bytes_per_sector >= 512 && b.bytes_per_sector <= 4096 ? b.bytes_per_sector : ss;
    // Where the BPB says the copy lies, and the usual sector 6 where that
    // field is damaged; neither can leave the reserved area.
    const uint64_t stated = b.backup_boot, usual = 6;
    for (const uint64_t d : {stated, stated == usual ? 0 : usual}) {
        if (d == 0 || d >= b.reserved_sectors || d * bps > at)
            continue;
        const uint64_t primary = at - d * bps;
        std::vector<uint8_t> there(std::max<size_t>(bps, sector_bytes));
        if (read_sound(device, primary, there.data(), there.size()) &&
            same_fat_geometry(ondisk::decode_fat_boot_sector(there.data()), b))
            return primary;
        if (b.fat_sectors != 0 && fat32_fats_at(device, primary, b, bps) && !fat32_fats_at(device, at, b, bps))
            return primary;
    }
    return at;
}

uint64_t ntfs_volume_start(const platform::byte_source_c& device, uint64_t at, const uint8_t* boot, uint32_t ss)
{
    const ondisk::ntfs_boot_sector_s b = ondisk::decode_ntfs_boot_sector(boot);
    const uint64_t bps = b.bytes_per_sector >= 512 && b.bytes_per_sector <= 4096 ? b.bytes_per_sector : ss;
    // The copy is the sector after the last one the count covers.
    if (b.total_sectors == 0 || b.total_sectors > at / bps)
        return at;
    const uint64_t primary = at - b.total_sectors * bps;
    std::vector<uint8_t> there(std::max<size_t>(bps, sector_bytes));
    if (read_sound(device, primary, there.data(), there.size())) {
        const ondisk::ntfs_boot_sector_s p = ondisk::decode_ntfs_boot_sector(there.data());
        if (p.signature && p.ntfs_oem_id && p.total_sectors == b.total_sectors && p.mft_lcn == b.mft_lcn &&
            p.bytes_per_sector == b.bytes_per_sector)
            return primary;
    }
    const uint64_t cluster = ntfs_cluster_bytes(b, bps);
    if (cluster != 0 && ntfs_mft_at(device, primary, b, cluster) && !ntfs_mft_at(device, at, b, cluster))
        return primary;
    return at;
}

}  // namespace partition
