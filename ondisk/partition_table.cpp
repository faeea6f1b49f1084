#include "ondisk/partition_table.h"

#include "ondisk/byte_order.h"

namespace ondisk {

using platform::le32;

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

}  // namespace ondisk
