#include "ondisk/gpt.h"

#include "ondisk/byte_order.h"

#include <cstdio>
#include <cstring>
#include <algorithm>
#include <vector>

namespace ondisk {

using platform::le16;
using platform::le32;
using platform::le64;
using platform::store_le16;
using platform::store_le32;
using platform::store_le64;

namespace {
constexpr std::array<uint32_t, 256> crc_table()
{
    std::array<uint32_t, 256> t{};
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t c = i;
        for (int k = 0; k < 8; ++k)
            c = c & 1 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        t[i] = c;
    }
    return t;
}
constexpr std::array<uint32_t, 256> table = crc_table();

// The GUID's byte order on disk: three little-endian fields, then eight bytes.
constexpr int guid_order[16] = {3, 2, 1, 0, 5, 4, 7, 6, 8, 9, 10, 11, 12, 13, 14, 15};
}  // namespace

uint32_t crc32(const uint8_t* data, size_t length, uint32_t crc)
{
    crc = ~crc;
    for (size_t i = 0; i < length; ++i)
        crc = table[(crc ^ data[i]) & 0xFF] ^ (crc >> 8);
    return ~crc;
}

gpt_header_fields_s decode_gpt_header_fields(const uint8_t* s)
{
    gpt_header_fields_s h;
    h.signature = std::memcmp(s, gpt_header::signature, sizeof gpt_header::signature) == 0;
    h.revision = le32(s + gpt_header::revision);
    h.header_size = le32(s + gpt_header::size);
    h.header_crc = le32(s + gpt_header::crc);
    h.my_lba = le64(s + gpt_header::my_lba);
    h.alternate_lba = le64(s + gpt_header::alternate_lba);
    h.first_usable = le64(s + gpt_header::first_usable);
    h.last_usable = le64(s + gpt_header::last_usable);
    std::memcpy(h.disk_guid.data(), s + gpt_header::disk_guid, 16);
    h.entries_lba = le64(s + gpt_header::entries_lba);
    h.entry_count = le32(s + gpt_header::entry_count);
    h.entry_size = le32(s + gpt_header::entry_size);
    h.entries_crc = le32(s + gpt_header::entries_crc);
    return h;
}

void encode_gpt_header(const gpt_header_fields_s& h, uint8_t* s, size_t sector_bytes)
{
    std::memset(s, 0, sector_bytes);
    std::memcpy(s, gpt_header::signature, sizeof gpt_header::signature);
    store_le32(s + gpt_header::revision, h.revision ? h.revision : gpt_header::usual_revision);
    store_le32(s + gpt_header::size, gpt_header::usual_size);
    store_le64(s + gpt_header::my_lba, h.my_lba);
    store_le64(s + gpt_header::alternate_lba, h.alternate_lba);
    store_le64(s + gpt_header::first_usable, h.first_usable);
    store_le64(s + gpt_header::last_usable, h.last_usable);
    std::memcpy(s + gpt_header::disk_guid, h.disk_guid.data(), 16);
    store_le64(s + gpt_header::entries_lba, h.entries_lba);
    store_le32(s + gpt_header::entry_count, h.entry_count);
    store_le32(s + gpt_header::entry_size, h.entry_size);
    store_le32(s + gpt_header::entries_crc, h.entries_crc);
    store_le32(s + gpt_header::crc, crc32(s, gpt_header::usual_size));
}

uint32_t gpt_header_crc(const uint8_t* s, size_t sector_bytes, bool* sane)
{
    const uint32_t size = le32(s + gpt_header::size);
    *sane = size >= gpt_header::usual_size && size <= sector_bytes;
    if (!*sane)
        return 0;
    uint32_t crc = crc32(s, gpt_header::crc);
    const uint8_t zero[4] = {};
    crc = crc32(zero, 4, crc);
    return crc32(s + gpt_header::crc + 4, size - gpt_header::crc - 4, crc);
}

std::string check_gpt_entries(const uint8_t* entries, const gpt_header_fields_s& h, uint64_t disk_sectors)
{
    struct span_s {
        uint64_t first, last;
        uint32_t number;
    };
    std::vector<span_s> used;
    const auto range = [](uint64_t first, uint64_t last) {
        return "sectors " + std::to_string(first) + "-" + std::to_string(last);
    };
    for (uint32_t i = 0; i < h.entry_count; ++i) {
        const gpt_entry_fields_s e = decode_gpt_entry_fields(entries + size_t(i) * h.entry_size);
        if (!e.used())
            continue;
        const std::string entry = "entry " + std::to_string(i + 1) + " (" + range(e.first_lba, e.last_lba) + ")";
        if (e.last_lba < e.first_lba)
            return entry + " ends before it starts";
        if (e.last_lba >= disk_sectors)
            return entry + " ends past the disk's last sector " + std::to_string(disk_sectors - 1);
        if (e.first_lba < h.first_usable || e.last_lba > h.last_usable)
            return entry + " lies outside the usable " + range(h.first_usable, h.last_usable);
        used.push_back({e.first_lba, e.last_lba, i + 1});
    }
    std::sort(used.begin(), used.end(), [](const span_s& a, const span_s& b) { return a.first < b.first; });
    for (size_t i = 1; i < used.size(); ++i)
        if (used[i].first <= used[i - 1].last)
            return "entry " + std::to_string(used[i].number) + " (" + range(used[i].first, used[i].last) +
                   ") overlaps entry " + std::to_string(used[i - 1].number) + " (" +
                   range(used[i - 1].first, used[i - 1].last) + ")";
    return {};
}

std::string check_gpt_header(const uint8_t* s, size_t sector_bytes, uint64_t at, uint64_t disk_sectors)
{
    const gpt_header_fields_s h = decode_gpt_header_fields(s);
    if (!h.signature)
        return "no GPT header";
    bool sane = false;
    const uint32_t crc = gpt_header_crc(s, sector_bytes, &sane);
    if (!sane)
        return "header size " + std::to_string(h.header_size) + " is impossible";
    if (crc != h.header_crc)
        return "header CRC32 does not match";
    if (h.my_lba != at)
        return "header names sector " + std::to_string(h.my_lba) + " as its own, but lies at " + std::to_string(at);
    if (h.entry_size < gpt_entry::usual_size || h.entry_size % 8 != 0 || h.entry_count == 0 ||
        h.entry_bytes() > gpt_most_entry_bytes)
        return "entry array of " + std::to_string(h.entry_count) + " entries of " + std::to_string(h.entry_size) +
               " bytes is impossible";
    const uint64_t entry_sectors = h.entry_sectors(uint32_t(sector_bytes));
    if (h.entries_lba < 2 || h.entries_lba >= disk_sectors || entry_sectors > disk_sectors - h.entries_lba)
        return "entry array at sector " + std::to_string(h.entries_lba) + " lies outside the disk";
    if (h.first_usable > h.last_usable || h.last_usable >= disk_sectors)
        return "usable sectors " + std::to_string(h.first_usable) + "-" + std::to_string(h.last_usable) +
               " do not fit the disk";
    return {};
}

bool gpt_entry_fields_s::used() const
{
    for (uint8_t b : type_guid)
        if (b != 0)
            return true;
    return false;
}

gpt_entry_fields_s decode_gpt_entry_fields(const uint8_t* e)
{
    gpt_entry_fields_s f;
    std::memcpy(f.type_guid.data(), e + gpt_entry::type_guid, 16);
    std::memcpy(f.unique_guid.data(), e + gpt_entry::unique_guid, 16);
    f.first_lba = le64(e + gpt_entry::first_lba);
    f.last_lba = le64(e + gpt_entry::last_lba);
    f.attributes = le64(e + gpt_entry::attributes);
    for (size_t i = 0; i < gpt_entry::name_units; ++i) {
        const char16_t unit = le16(e + gpt_entry::name + 2 * i);
        if (unit == 0)
            break;
        f.name.push_back(unit);
    }
    return f;
}

void encode_gpt_entry(const gpt_entry_fields_s& f, uint8_t* e)
{
    std::memset(e, 0, gpt_entry::usual_size);
    std::memcpy(e + gpt_entry::type_guid, f.type_guid.data(), 16);
    std::memcpy(e + gpt_entry::unique_guid, f.unique_guid.data(), 16);
    store_le64(e + gpt_entry::first_lba, f.first_lba);
    store_le64(e + gpt_entry::last_lba, f.last_lba);
    store_le64(e + gpt_entry::attributes, f.attributes);
    for (size_t i = 0; i < f.name.size() && i < gpt_entry::name_units; ++i)
        store_le16(e + gpt_entry::name + 2 * i, uint16_t(f.name[i]));
}

std::string guid_text(const guid_t& g)
{
    char out[37];
    char* p = out;
    for (int i = 0; i < 16; ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10)
            *p++ = '-';
        std::snprintf(p, 3, "%02X", g[size_t(guid_order[i])]);
        p += 2;
    }
    return std::string(out, 36);
}

bool parse_guid(const char* text, guid_t* g)
{
    if (std::strlen(text) != 36)
        return false;
    const char* p = text;
    for (int i = 0; i < 16; ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) {
            if (*p++ != '-')
                return false;
        }
        unsigned v = 0;
        for (int k = 0; k < 2; ++k, ++p) {
            const char c = *p;
            const int d = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10
                                                           : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
            if (d < 0)
                return false;
            v = v * 16 + unsigned(d);
        }
        (*g)[size_t(guid_order[i])] = uint8_t(v);
    }
    return true;
}

}  // namespace ondisk
