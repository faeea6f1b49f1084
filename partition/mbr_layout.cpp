#include "partition/mbr_layout.h"

#include "partition/boot_code.h"
#include "partition/boot_sector.h"

#include <algorithm>
#include <cstring>

namespace partition {

std::array<uint8_t, 3> chs_bytes(uint64_t sector_number, uint32_t heads, uint32_t sectors_per_track)
{
    const uint32_t lba = uint32_t(sector_number);
    const uint32_t sector = lba % sectors_per_track + 1;
    const uint32_t head = (lba / sectors_per_track) % heads;
    const uint32_t cylinder = (lba / sectors_per_track) / heads;
    return {uint8_t(head), uint8_t(sector | ((cylinder >> 2) & 0xC0)), uint8_t(cylinder & 0xFF)};
}

std::string gpt_refusal(const sector_t& old_sector, const sector_t& next_sector, const sector_t& last_sector)
{
    const std::string consequence = "; an MBR written over it would break the disk";
    for (size_t i = 0; i < mbr_entry_count; ++i)
        if (old_sector[mbr_table + i * mbr_entry_size + entry_type] == gpt_protective_type)
            return "the disk holds a GPT (protective MBR entry)" + consequence;
    if (std::memcmp(next_sector.data(), "EFI PART", 8) == 0)
        return "the disk holds a GPT (\"EFI PART\" header in sector 1)" + consequence;
    if (std::memcmp(last_sector.data(), "EFI PART", 8) == 0)
        return "the disk holds a GPT (backup header in its last sector)" + consequence;
    return {};
}

std::string table_refusal(const std::vector<partition_item_s>& partitions)
{
    if (partitions.empty())
        return "no partition was found; nothing to write";
    for (const auto& p : partitions)
        if (p.start_sector == 0)
            return "a " + p.file_system.toStdString() +
                   " volume starts at sector 0 (formatted without a partition table): there is no table to "
                   "repair, and a table written there would destroy the volume";
    const size_t used = std::min(partitions.size(), mbr_entry_count);
    for (size_t i = 0; i < used; ++i) {
        const auto& p = partitions[i];
        if (p.start_sector > 0xFFFFFFFFu || p.end_sector > 0xFFFFFFFFu)
            return "partition " + std::to_string(i + 1) + " reaches sector 2^32, beyond what an MBR entry holds";
        if (p.end_sector < p.start_sector)
            return "partition " + std::to_string(i + 1) + " ends before it starts";
    }
    return {};
}

sector_t build_master_boot_record(const sector_t& old_sector, const std::vector<partition_item_s>& partitions,
                                  uint32_t heads, uint32_t sectors_per_track)
{
    sector_t out{};
    std::copy(master_boot_code.begin(), master_boot_code.end(), out.begin());
    std::copy(old_sector.begin() + mbr_kept_first, old_sector.begin() + mbr_kept_end, out.begin() + mbr_kept_first);

    const size_t used = std::min(partitions.size(), mbr_entry_count);
    for (size_t i = 0; i < used; ++i) {
        const auto& p = partitions[i];
        uint8_t* entry = out.data() + mbr_table + i * mbr_entry_size;
        entry[entry_status] = i == 0 ? 0x80 : 0x00;
        const auto start = chs_bytes(p.start_sector, heads, sectors_per_track);
        const auto end = chs_bytes(p.end_sector, heads, sectors_per_track);
        std::copy(start.begin(), start.end(), entry + entry_start_chs);
        entry[entry_type] = uint8_t(p.type);
        std::copy(end.begin(), end.end(), entry + entry_end_chs);
        store_le32(entry + entry_first_lba, uint32_t(p.start_sector));
        store_le32(entry + entry_sector_count, uint32_t(p.end_sector) - uint32_t(p.start_sector) + 1);
    }
    out[510] = 0x55;
    out[511] = 0xAA;
    return out;
}

}  // namespace partition
