#include "ondisk/partition_table.h"

#include "ondisk/byte_order.h"

#include <cstring>

namespace ondisk {

using platform::le32;
using platform::le64;

bool has_table_signature(const uint8_t* sector) { return sector[510] == 0x55 && sector[511] == 0xAA; }

mbr_entry_s decode_mbr_entry(const uint8_t* sector, int i)
{
    const uint8_t* e = sector + mbr::entries + static_cast<size_t>(i) * mbr::entry_size;
    mbr_entry_s m;
    m.type = e[mbr::entry_type];
    m.first_lba = le32(e + mbr::entry_first_lba);
    m.sectors = le32(e + mbr::entry_sectors);
    return m;
}

gpt_header_s decode_gpt_header(const uint8_t* s)
{
    gpt_header_s h;
    h.signature = std::memcmp(s, gpt::signature, sizeof gpt::signature) == 0;
    h.header_size = le32(s + gpt::header_size);
    h.entries_lba = le64(s + gpt::entries_lba);
    h.entry_count = le32(s + gpt::entry_count);
    h.entry_size = le32(s + gpt::entry_size);
    return h;
}

gpt_entry_s decode_gpt_entry(const uint8_t* e)
{
    gpt_entry_s g;
    for (size_t i = 0; i < 16; ++i)
        g.used = g.used || e[gpt::entry_type_guid + i] != 0;
    g.first_lba = le64(e + gpt::entry_first_lba);
    g.last_lba = le64(e + gpt::entry_last_lba);
    return g;
}

}  // namespace ondisk
