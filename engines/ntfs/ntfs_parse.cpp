#include "engines/ntfs/ntfs_parse.h"

#include "engines/ntfs/ntfs_layout.h"

#include <algorithm>
#include <cstring>

namespace ntfs_parse {

using namespace ntfs_layout;

namespace {

bool is_power_of_two(uint64_t v) { return v != 0 && (v & (v - 1)) == 0; }

}  // namespace

bool parse_boot_sector(const uint8_t* s, uint64_t volume_bytes, volume_params_s* out) {
    const ondisk::ntfs_boot_sector_s b = ondisk::decode_ntfs_boot_sector(s);
    if (!b.ntfs_oem_id || !b.signature)
        return false;
    const uint32_t bps = b.bytes_per_sector;
    if (bps < 256 || bps > 4096 || !is_power_of_two(bps))
        return false;
    // Above 0x80 the byte is a negative exponent: clusters of 2^-n sectors'
    // worth, used by volumes with clusters beyond 128 sectors.
    const uint8_t spc_raw = b.sectors_per_cluster;
    uint64_t cluster;
    if (spc_raw == 0)
        return false;
    if (spc_raw <= 0x80) {
        if (!is_power_of_two(spc_raw))
            return false;
        cluster = uint64_t(spc_raw) * bps;
    } else {
        const unsigned shift = 256u - spc_raw;
        if (shift > 21)
            return false;
        cluster = uint64_t(1) << shift;
    }
    if (cluster < bps || cluster > (uint64_t(2) << 20))
        return false;

    const int8_t cpr = b.clusters_per_record;
    uint64_t record;
    if (cpr > 0)
        record = uint64_t(cpr) * cluster;
    else if (cpr < 0 && cpr >= -31)
        record = uint64_t(1) << unsigned(-cpr);
    else
        return false;
    if (record < record::fixup_stride || record > 65536 || record % record::fixup_stride != 0)
        return false;

    const uint64_t sectors = b.total_sectors;
    if (sectors == 0 || sectors > (uint64_t(1) << 48))
        return false;
    uint64_t clusters = sectors * bps / cluster;
    // A truncated image: only what the device holds can be read.
    clusters = std::min<uint64_t>(clusters, volume_bytes / cluster);
    const uint64_t mft = b.mft_lcn;
    const uint64_t mirr = b.mftmirr_lcn;
    if (mft == 0 || mft >= clusters)
        return false;

    out->bytes_per_sector = bps;
    out->cluster_size = uint32_t(cluster);
    out->record_size = uint32_t(record);
    out->total_clusters = clusters;
    out->mft_lcn = mft;
    out->mftmirr_lcn = mirr < clusters ? mirr : 0;
    return true;
}

bool decode_runlist(const uint8_t* p, size_t size, uint64_t lowest_vcn, uint64_t total_clusters,
                    std::vector<run_s>* runs) {
    const uint8_t* end = p + size;
    uint64_t vcn = lowest_vcn;
    int64_t lcn = 0;
    while (p < end) {
        const uint8_t head = *p++;
        if (head == 0)
            return true;
        const unsigned length_bytes = head & 0x0F;
        const unsigned offset_bytes = head >> 4;
        if (length_bytes == 0 || length_bytes > 8 || offset_bytes > 8)
            return false;
        if (size_t(end - p) < length_bytes + offset_bytes)
            return false;
        uint64_t length = 0;
        for (unsigned i = 0; i < length_bytes; ++i)
            length |= uint64_t(p[i]) << (8 * i);
        p += length_bytes;
        // The length is signed on disk; a negative or zero one is corrupt.
        if (length == 0 || (length_bytes == 8 && (length >> 63)) ||
            (length_bytes < 8 && (length >> (8 * length_bytes - 1)) & 1))
            return false;
        run_s run;
        run.vcn = vcn;
        run.length = length;
        if (offset_bytes == 0) {
            run.lcn = -1;  // sparse
        } else {
            uint64_t raw = 0;
            for (unsigned i = 0; i < offset_bytes; ++i)
                raw |= uint64_t(p[i]) << (8 * i);
            p += offset_bytes;
            int64_t delta;
            if (offset_bytes < 8 && (raw >> (8 * offset_bytes - 1)) & 1)
                raw |= ~uint64_t(0) << (8 * offset_bytes);  // sign-extend
            std::memcpy(&delta, &raw, sizeof delta);
            int64_t next;
            if (__builtin_add_overflow(lcn, delta, &next) || next < 0)
                return false;
            lcn = next;
            if (uint64_t(lcn) >= total_clusters || length > total_clusters - uint64_t(lcn))
                return false;
            run.lcn = lcn;
        }
        // With clusters of up to 2 MiB, 2^42 clusters keep every byte offset
        // of the stream below 2^63; no real volume or file comes near.
        constexpr uint64_t max_vcn = uint64_t(1) << 42;
        if (length > max_vcn || vcn > max_vcn - length)
            return false;
        vcn += length;
        runs->push_back(run);
    }
    return true;  // ran to the end of the attribute without a terminator
}

int64_t arrange_runs(std::vector<run_s>* runs) {
    std::sort(runs->begin(), runs->end(), [](const run_s& a, const run_s& b) { return a.vcn < b.vcn; });
    uint64_t expected = 0;
    for (const run_s& r : *runs) {
        if (r.vcn != expected)
            return -1;
        expected += r.length;
    }
    return int64_t(expected);
}

record_state check_record(uint8_t* rec, size_t record_size, record_header_s* header) {
    if (std::memcmp(rec + record::magic, "FILE", 4) != 0) {
        static const uint8_t zeros[16] = {};
        return std::memcmp(rec, zeros, sizeof zeros) == 0 ? record_state::unused : record_state::corrupt;
    }
    const uint32_t usa_offset = le16(rec + record::usa_offset);
    const uint32_t usa_count = le16(rec + record::usa_count);
    const uint32_t sectors = uint32_t(record_size / record::fixup_stride);
    if (usa_count != sectors + 1 || usa_offset < record::usa_count + 2 || (usa_offset & 1) ||
        usa_offset + usa_count * 2 > record::fixup_stride - 2)
        return record_state::corrupt;
    const uint16_t check = le16(rec + usa_offset);
    for (uint32_t i = 0; i < sectors; ++i) {
        uint8_t* tail = rec + (i + 1) * record::fixup_stride - 2;
        if (le16(tail) != check)
            return record_state::corrupt;  // torn write
        std::memcpy(tail, rec + usa_offset + 2 * (i + 1), 2);
    }

    const uint32_t attrs_offset = le16(rec + record::attrs_offset);
    const uint32_t in_use = le32(rec + record::bytes_in_use);
    const uint32_t allocated = le32(rec + record::bytes_allocated);
    if (allocated > record_size || in_use > allocated || in_use < record::header_min)
        return record_state::corrupt;
    if (attrs_offset < usa_offset + usa_count * 2 || (attrs_offset & 7) || attrs_offset + 4 > in_use)
        return record_state::corrupt;

    header->flags = le16(rec + record::flags);
    header->sequence = le16(rec + record::sequence);
    header->attrs_offset = attrs_offset;
    header->bytes_in_use = in_use;
    header->base_reference = le64(rec + record::base_reference);
    header->log_sequence = le64(rec + record::log_sequence);
    return record_state::valid;
}

bool walk_attributes(const uint8_t* rec, const record_header_s& header, std::vector<attribute_s>* out) {
    uint32_t offset = header.attrs_offset;
    const uint32_t end = header.bytes_in_use;
    // Every attribute is at least 16 bytes long, so the walk ends by itself;
    // the bound on its steps is only a second guard.
    for (uint32_t steps = 0; steps < end / attr::header_min + 1; ++steps) {
        if (end - offset < 4)
            return true;  // no end marker within the bytes in use: take what was read
        const uint8_t* a = rec + offset;
        const uint32_t type = le32(a + attr::type);
        if (type == attr::type_end)
            return true;
        if (end - offset < attr::header_min)
            return false;
        const uint32_t length = le32(a + attr::length);
        if (length < attr::header_min || (length & 7) || length > end - offset)
            return false;
        attribute_s at;
        at.type = type;
        const uint8_t nr = a[attr::non_resident];
        if (nr > 1)
            return false;
        at.non_resident = nr == 1;
        at.flags = le16(a + attr::flags);
        at.name_length = a[attr::name_length];
        if (at.name_length) {
            const uint32_t name_offset = le16(a + attr::name_offset);
            if (name_offset + uint32_t(at.name_length) * 2 > length)
                return false;
            at.name = a + name_offset;
        }
        if (!at.non_resident) {
            if (length < attr::resident_size)
                return false;
            at.value_length = le32(a + attr::value_length);
            const uint32_t value_offset = le16(a + attr::value_offset);
            if (value_offset > length || at.value_length > length - value_offset)
                return false;
            at.value = a + value_offset;
        } else {
            if (length < attr::non_resident_size)
                return false;
            at.lowest_vcn = le64(a + attr::lowest_vcn);
            at.highest_vcn = le64(a + attr::highest_vcn);
            at.compression_unit = a[attr::compression_unit];
            at.allocated_size = le64(a + attr::allocated_size);
            at.data_size = le64(a + attr::data_size);
            at.initialized_size = le64(a + attr::initialized_size);
            const uint32_t pairs = le16(a + attr::mapping_pairs_offset);
            if (pairs < attr::non_resident_size || pairs > length)
                return false;
            if (at.lowest_vcn > at.highest_vcn + 1)
                return false;
            at.mapping_pairs = a + pairs;
            at.mapping_pairs_size = length - pairs;
        }
        out->push_back(at);
        offset += length;
    }
    return false;
}

bool parse_attribute_list(const uint8_t* value, size_t size, std::vector<list_entry_s>* out) {
    size_t offset = 0;
    while (size - offset >= list_entry::size_min) {
        const uint8_t* e = value + offset;
        const uint32_t type = le32(e + list_entry::type);
        if (type == attr::type_end)
            return true;
        const uint32_t length = le16(e + list_entry::length);
        if (length < list_entry::size_min || length > size - offset)
            return false;
        const uint32_t name_length = e[list_entry::name_length];
        if (name_length && e[list_entry::name_offset] + name_length * 2 > length)
            return false;
        list_entry_s le;
        le.type = type;
        le.named = name_length != 0;
        le.lowest_vcn = le64(e + list_entry::lowest_vcn);
        le.reference = le64(e + list_entry::file_reference);
        out->push_back(le);
        offset += length;
    }
    return true;
}

bool read_standard_information(const attribute_s& a, times_s* out) {
    if (a.non_resident || a.value_length < std_info::size_min)
        return false;
    out->creation = le64(a.value + std_info::creation_time);
    out->modification = le64(a.value + std_info::modification_time);
    out->access = le64(a.value + std_info::access_time);
    out->mft_change = le64(a.value + std_info::mft_change_time);
    return true;
}

bool read_file_name(const attribute_s& a, file_name_s* out) {
    if (a.non_resident || a.value_length < file_name::name)
        return false;
    const uint8_t* v = a.value;
    const uint32_t units = v[file_name::name_length];
    if (units == 0 || file_name::name + units * 2 > a.value_length)
        return false;
    out->parent_reference = le64(v + file_name::parent_reference);
    out->name_space = v[file_name::name_space];
    out->times.creation = le64(v + file_name::creation_time);
    out->times.modification = le64(v + file_name::modification_time);
    out->times.access = le64(v + file_name::access_time);
    out->name.resize(units);
    for (uint32_t i = 0; i < units; ++i)
        out->name[i] = char16_t(le16(v + file_name::name + 2 * i));
    return true;
}

int name_space_rank(uint8_t name_space) {
    switch (name_space) {
    case file_name::space_win32:
    case file_name::space_win32_and_dos:
        return 3;
    case file_name::space_posix:
        return 2;
    case file_name::space_dos:
        return 1;
    default:
        return 0;
    }
}

std::u16string cut_at_bad_unit(const std::u16string& name) {
    size_t i = 0;
    while (i < name.size()) {
        const char16_t u = name[i];
        if (u == 0)
            break;
        if (u >= 0xD800 && u <= 0xDBFF) {
            if (i + 1 < name.size() && name[i + 1] >= 0xDC00 && name[i + 1] <= 0xDFFF) {
                i += 2;
                continue;
            }
            break;
        }
        if (u >= 0xDC00 && u <= 0xDFFF)
            break;
        ++i;
    }
    return name.substr(0, i);
}

bool lznt1_decompress(const uint8_t* in, size_t in_size, uint8_t* out, size_t out_size) {
    constexpr size_t chunk_size = 4096;
    size_t ip = 0, op = 0;
    std::memset(out, 0, out_size);
    while (in_size - ip >= 2 && op < out_size) {
        const uint16_t header = le16(in + ip);
        if (header == 0)
            break;  // end of the unit's data
        const size_t length = size_t(header & 0x0FFF) + 1;  // bytes after the header
        ip += 2;
        if (length > in_size - ip || out_size - op < chunk_size)
            return false;
        const uint8_t* c = in + ip;
        const uint8_t* c_end = c + length;
        ip += length;
        uint8_t* chunk = out + op;
        op += chunk_size;
        if (!(header & 0x8000)) {
            std::memcpy(chunk, c, std::min(length, chunk_size));  // stored as is
            continue;
        }
        size_t pos = 0;  // bytes produced in this chunk
        while (c < c_end) {
            const uint8_t tags = *c++;
            for (int bit = 0; bit < 8 && c < c_end; ++bit) {
                if (!(tags & (1 << bit))) {
                    if (pos >= chunk_size)
                        return false;
                    chunk[pos++] = *c++;
                    continue;
                }
                if (c_end - c < 2 || pos == 0)
                    return false;
                const uint16_t token = le16(c);
                c += 2;
                // The further into the chunk, the more bits the offset takes.
                unsigned offset_bits = 4;
                for (size_t p = pos - 1; p >= 0x10; p >>= 1)
                    ++offset_bits;
                const unsigned length_bits = 16 - offset_bits;
                const size_t copy = size_t(token & ((1u << length_bits) - 1)) + 3;
                const size_t back = size_t(token >> length_bits) + 1;
                if (back > pos || copy > chunk_size - pos)
                    return false;
                for (size_t i = 0; i < copy; ++i, ++pos)
                    chunk[pos] = chunk[pos - back];  // may overlap: byte by byte
            }
        }
    }
    return true;
}

int64_t filetime_to_unix(uint64_t filetime) {
    if (filetime == 0)
        return 0;
    return int64_t(filetime / 10000000u) - 11644473600LL;
}

}  // namespace ntfs_parse
