#include "engines/exfat/exfat_entry.h"

#include "ondisk/byte_order.h"

#include <ctime>

namespace exfat {

using platform::le16;
using platform::le32;
using platform::le64;

namespace {

// Days from 1970-01-01 to a proleptic Gregorian date.
int64_t days_from_civil(int64_t y, unsigned m, unsigned d)
{
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

bool leap(int year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

unsigned days_in_month(int year, unsigned month)
{
    static constexpr unsigned days[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && leap(year) ? 29 : days[month - 1];
}

timestamp_s stamp_at(const uint8_t* file, size_t stamp, size_t ten_ms, size_t offset)
{
    timestamp_s t;
    t.packed = le32(file + stamp);
    t.ten_ms = ten_ms ? file[ten_ms] : 0;
    t.utc_offset = file[offset];
    return t;
}

uint16_t checksum_step(uint16_t sum, uint8_t byte)
{
    return static_cast<uint16_t>(((sum & 1) ? 0x8000u : 0u) + (sum >> 1) + byte);
}

}  // namespace

int64_t timestamp_seconds(const timestamp_s& t)
{
    const int year = 1980 + static_cast<int>(t.packed >> 25);
    const unsigned month = (t.packed >> 21) & 0x0F;
    const unsigned day = (t.packed >> 16) & 0x1F;
    const unsigned hour = (t.packed >> 11) & 0x1F;
    const unsigned minute = (t.packed >> 5) & 0x3F;
    const unsigned second = 2 * (t.packed & 0x1F) + (t.ten_ms <= 199 ? t.ten_ms / 100 : 0);
    if (month < 1 || month > 12 || day < 1 || day > days_in_month(year, month) || hour > 23 || minute > 59 ||
        second > 59)
        return 0;

    if (t.utc_offset & 0x80) {
        // Seven-bit two's complement quarter hours.
        int quarters = t.utc_offset & 0x7F;
        if (quarters & 0x40)
            quarters -= 0x80;
        const int64_t local = days_from_civil(year, month, day) * 86400 + int64_t{hour} * 3600 + minute * 60 + second;
        return local - int64_t{quarters} * 15 * 60;
    }
    std::tm tm{};
    tm.tm_year = year - 1900;
    tm.tm_mon = static_cast<int>(month) - 1;
    tm.tm_mday = static_cast<int>(day);
    tm.tm_hour = static_cast<int>(hour);
    tm.tm_min = static_cast<int>(minute);
    tm.tm_sec = static_cast<int>(second);
    tm.tm_isdst = -1;
    const std::time_t local = std::mktime(&tm);
    return local == static_cast<std::time_t>(-1) ? 0 : static_cast<int64_t>(local);
}

uint16_t entry_set_checksum(const uint8_t* entries, size_t count, bool restore_in_use)
{
    uint16_t sum = 0;
    for (size_t e = 0; e < count; ++e) {
        const uint8_t* entry = entries + e * entry_bytes;
        for (size_t i = 0; i < entry_bytes; ++i) {
            if (e == 0 && (i == 2 || i == 3))
                continue;
            uint8_t byte = entry[i];
            if (i == 0 && restore_in_use)
                byte |= entry_in_use;
            sum = checksum_step(sum, byte);
        }
    }
    return sum;
}

uint16_t name_hash(const std::u16string& name, const char16_t* upcase)
{
    uint16_t hash = 0;
    for (const char16_t unit : name) {
        const uint16_t up = upcase[unit];
        hash = checksum_step(hash, static_cast<uint8_t>(up & 0xFF));
        hash = checksum_step(hash, static_cast<uint8_t>(up >> 8));
    }
    return hash;
}

set_result parse_entry_set(const uint8_t* entries, size_t available, entry_set_s* out)
{
    if (!entries || available < entry_bytes)
        return set_result::truncated;
    const uint8_t primary = entries[0];
    if (primary != type_file && primary != type_file_deleted)
        return set_result::not_a_file;
    const bool deleted = primary == type_file_deleted;
    const uint8_t count = entries[1];
    if (count < min_secondary_count || count > max_secondary_count)
        return set_result::bad_count;
    const size_t total = size_t{count} + 1;
    if (available / entry_bytes < total)
        return set_result::truncated;

    // Every secondary carries the primary's state: a set whose entries
    // disagree was partly reused by a later file.
    for (size_t e = 1; e < total; ++e) {
        const uint8_t type = entries[e * entry_bytes];
        if (!(type & 0x40) || bool(type & entry_in_use) == deleted)
            return set_result::bad_order;
    }
    const uint8_t* stream = entries + entry_bytes;
    if ((stream[0] | entry_in_use) != type_stream)
        return set_result::bad_order;

    entry_set_s s;
    s.deleted = deleted;
    s.secondary_count = count;
    s.attributes = le16(entries + 4);
    s.created = stamp_at(entries, 8, 20, 22);
    s.modified = stamp_at(entries, 12, 21, 23);
    s.accessed = stamp_at(entries, 16, 0, 24);
    s.stream_flags = stream[1];
    const uint8_t name_length = stream[3];
    s.name_hash = le16(stream + 4);
    s.valid_length = le64(stream + 8);
    s.first_cluster = le32(stream + 20);
    s.data_length = le64(stream + 24);

    const size_t name_entries = (size_t{name_length} + name_units_per_entry - 1) / name_units_per_entry;
    if (name_length == 0 || name_entries > total - 2)
        return set_result::bad_name;
    s.name.reserve(name_length);
    for (size_t n = 0; n < name_entries; ++n) {
        const uint8_t* entry = entries + (n + 2) * entry_bytes;
        if ((entry[0] | entry_in_use) != type_name)
            return set_result::bad_order;
        for (size_t u = 0; u < name_units_per_entry && s.name.size() < name_length; ++u)
            s.name.push_back(static_cast<char16_t>(le16(entry + 2 + 2 * u)));
    }

    if (le16(entries + 2) != entry_set_checksum(entries, total, deleted))
        return set_result::bad_checksum;
    *out = std::move(s);
    return set_result::ok;
}

}  // namespace exfat
