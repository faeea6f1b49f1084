#include "engines/ntfs/ntfs_harvest.h"

#include "engines/ntfs/ntfs_layout.h"
#include "engines/ntfs/ntfs_parse.h"

#include <cstring>

namespace ntfs_harvest {

namespace layout = ntfs_layout;
using namespace ntfs_parse;

namespace {

constexpr size_t step = 512;
constexpr size_t record_number_field = 44;  // u32, NTFS 3.1 headers (update sequence at 48 or later)

// Types a record can hold; anything else is not a record's attribute.
bool known_type(uint32_t type) { return type >= 0x10 && type <= 0x100 && type % 0x10 == 0; }

}  // namespace

bool sane_record(const uint8_t* raw, uint32_t size, candidate_s* out) {
    if (std::memcmp(raw, "FILE", 4) != 0)
        return false;
    const uint16_t usa_count = layout::le16(raw + layout::record::usa_count);
    if (usa_count != size / layout::record::fixup_stride + 1)
        return false;
    uint8_t copy[4096];
    std::memcpy(copy, raw, size);
    record_header_s header;
    if (check_record(copy, size, &header) != record_state::valid)
        return false;
    std::vector<attribute_s> attributes;
    if (!walk_attributes(copy, header, &attributes) || attributes.empty())
        return false;
    // The walk stops without an end marker at the bytes in use; a record
    // always has one.
    uint32_t end = header.attrs_offset;
    uint32_t previous = 0;
    for (const attribute_s& a : attributes) {
        if (!known_type(a.type) || a.type < previous)
            return false;
        previous = a.type;
        end += layout::le32(copy + end + layout::attr::length);
    }
    if (header.bytes_in_use - end < 4 || layout::le32(copy + end) != layout::attr::type_end)
        return false;
    out->size = size;
    out->sequence = header.sequence;
    out->flags = header.flags;
    out->base_reference = header.base_reference;
    out->log_sequence = header.log_sequence;
    const uint16_t usa_offset = layout::le16(raw + layout::record::usa_offset);
    out->number = usa_offset >= record_number_field + 4 ? int64_t(layout::le32(raw + record_number_field)) : -1;
    return true;
}

void find_records(const uint8_t* buf, size_t scan_length, size_t available, uint64_t base,
                  std::vector<candidate_s>* out) {
    for (size_t at = 0; at < scan_length && at + 4 <= available;) {
        const uint8_t* p = buf + at;
        if (p[0] != 'F' || std::memcmp(p, "FILE", 4) != 0) {
            at += step;
            continue;
        }
        candidate_s c;
        bool found = false;
        for (const uint32_t size : {1024u, 4096u})
            if (available - at >= size && sane_record(p, size, &c)) {
                found = true;
                break;
            }
        if (!found) {
            at += step;
            continue;
        }
        c.offset = base + at;
        out->push_back(c);
        at += c.size;
    }
}

bool geometry_from_mft_copies(uint64_t mft_at, uint64_t mirror_at, uint64_t mft_lcn, uint64_t mirror_lcn,
                              geometry_s* out) {
    if (mft_lcn == mirror_lcn || mft_at == mirror_at || (mft_at > mirror_at) != (mft_lcn > mirror_lcn))
        return false;
    const uint64_t bytes = mft_at > mirror_at ? mft_at - mirror_at : mirror_at - mft_at;
    const uint64_t clusters = mft_lcn > mirror_lcn ? mft_lcn - mirror_lcn : mirror_lcn - mft_lcn;
    if (bytes % clusters != 0)
        return false;
    const uint64_t cluster = bytes / clusters;
    if (cluster < 512 || cluster > (uint64_t(2) << 20) || (cluster & (cluster - 1)) != 0)
        return false;
    if (mft_lcn > mft_at / cluster)
        return false;  // the volume would start before the bytes searched
    out->cluster_size = uint32_t(cluster);
    out->start = mft_at - mft_lcn * cluster;
    out->mft_lcn = mft_lcn;
    out->mftmirr_lcn = mirror_lcn;
    return true;
}

}  // namespace ntfs_harvest
