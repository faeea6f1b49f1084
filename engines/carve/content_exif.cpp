// Photos: the date a picture was taken and the camera, from the Exif data a
// JPEG carries in its APP1 segment, a TIFF or camera raw file in its own
// directories, and a HEIC in an Exif item.
#include "engines/carve/content_internal.h"
#include "ondisk/byte_order.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace carve::content {

namespace {

constexpr uint16_t tag_make = 271;
constexpr uint16_t tag_model = 272;
constexpr uint16_t tag_date_time = 306;
constexpr uint16_t tag_exif_ifd = 34665;
constexpr uint16_t tag_date_original = 36867;
constexpr uint16_t tag_date_digitized = 36868;
constexpr uint16_t tag_offset_original = 36881;

// A TIFF structure that starts at base in the file and may not reach past
// limit. Offsets inside it are from base.
struct tiff_s {
    reader_c& r;
    uint64_t base;
    uint64_t limit;
    bool little = true;

    uint16_t u16(const uint8_t* p) const { return little ? platform::le16(p) : platform::be16(p); }
    uint32_t u32(const uint8_t* p) const { return little ? platform::le32(p) : platform::be32(p); }
};

struct exif_fields_s {
    std::string make, model, date_original, date_digitized, date_time, offset_original;
    uint32_t exif_ifd = 0;
};

// An ASCII value (type 2) of at most 64 bytes, up to its first NUL.
std::string ascii_value(const tiff_s& t, const uint8_t* entry)
{
    const uint16_t type = t.u16(entry + 2);
    const uint32_t count = t.u32(entry + 4);
    if (type != 2 || count == 0 || count > 64)
        return {};
    std::string s;
    if (count <= 4) {
        s.assign(reinterpret_cast<const char*>(entry + 8), count);
    } else {
        const uint32_t at = t.u32(entry + 8);
        if (at > t.limit - t.base || count > t.limit - t.base - at)
            return {};
        s.resize(count);
        if (!t.r.read(t.base + at, s.data(), count))
            return {};
    }
    s.resize(std::min(s.find('\0'), s.size()));
    return trim(s);
}

// Reads one directory's fields of interest. False when it cannot be read.
bool read_ifd(const tiff_s& t, uint32_t ifd, exif_fields_s* f)
{
    uint8_t c[2];
    if (ifd < 8 || ifd > t.limit - t.base || t.limit - t.base - ifd < 2 || !t.r.read(t.base + ifd, c, 2))
        return false;
    const uint16_t n = t.u16(c);
    if (n == 0 || n > 1024 || uint64_t(n) * 12 > t.limit - t.base - ifd - 2)
        return false;
    for (uint16_t i = 0; i < n; ++i) {
        uint8_t e[12];
        if (!t.r.read(t.base + ifd + 2 + uint64_t(i) * 12, e, sizeof e))
            return false;
        switch (t.u16(e)) {
        case tag_make: f->make = ascii_value(t, e); break;
        case tag_model: f->model = ascii_value(t, e); break;
        case tag_date_time: f->date_time = ascii_value(t, e); break;
        case tag_date_original: f->date_original = ascii_value(t, e); break;
        case tag_date_digitized: f->date_digitized = ascii_value(t, e); break;
        case tag_offset_original: f->offset_original = ascii_value(t, e); break;
        case tag_exif_ifd:
            if (t.u16(e + 2) == 4 || t.u16(e + 2) == 13)
                f->exif_ifd = t.u32(e + 8);
            break;
        default: break;
        }
    }
    return true;
}

// "YYYY:MM:DD HH:MM:SS" as its parts; false for anything else, the zero date
// included.
bool parse_exif_date(const std::string& s, std::tm* tm)
{
    if (s.size() < 19)
        return false;
    for (size_t i : {0, 1, 2, 3, 5, 6, 8, 9, 11, 12, 14, 15, 17, 18})
        if (s[i] < '0' || s[i] > '9')
            return false;
    auto num = [&](size_t at, size_t len) {
        int v = 0;
        for (size_t i = 0; i < len; ++i)
            v = v * 10 + (s[at + i] - '0');
        return v;
    };
    *tm = {};
    tm->tm_year = num(0, 4) - 1900;
    tm->tm_mon = num(5, 2) - 1;
    tm->tm_mday = num(8, 2);
    tm->tm_hour = num(11, 2);
    tm->tm_min = num(14, 2);
    tm->tm_sec = num(17, 2);
    tm->tm_isdst = -1;
    return tm->tm_year >= 70 && tm->tm_year < 200 && tm->tm_mon >= 0 && tm->tm_mon < 12 && tm->tm_mday >= 1 &&
           tm->tm_mday <= 31 && tm->tm_hour < 24 && tm->tm_min < 60 && tm->tm_sec < 61;
}

// "+HH:MM" or "-HH:MM" as seconds east of UTC.
bool parse_offset(const std::string& s, long* seconds)
{
    if (s.size() < 6 || (s[0] != '+' && s[0] != '-') || s[3] != ':')
        return false;
    for (size_t i : {1, 2, 4, 5})
        if (s[i] < '0' || s[i] > '9')
            return false;
    const long h = (s[1] - '0') * 10 + (s[2] - '0'), m = (s[4] - '0') * 10 + (s[5] - '0');
    if (h > 14 || m > 59)
        return false;
    *seconds = (s[0] == '-' ? -1 : 1) * (h * 3600 + m * 60);
    return true;
}

bool starts_with_nocase(const std::string& s, const std::string& prefix)
{
    if (prefix.size() > s.size())
        return false;
    for (size_t i = 0; i < prefix.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(s[i])) != std::tolower(static_cast<unsigned char>(prefix[i])))
            return false;
    return true;
}

}  // namespace

// The model, with the maker's first word in front when the model does not
// begin with it ("Apple iPhone 12", but "Canon EOS 80D" and "NIKON D750" as
// they are).
std::string camera_name(const std::string& make, const std::string& model)
{
    const std::string brand = make.substr(0, std::min(make.find(' '), make.size()));
    if (model.empty())
        return brand;
    if (brand.empty() || starts_with_nocase(model, brand))
        return model;
    return brand + " " + model;
}

namespace {

content_name_s name_from_fields(const exif_fields_s& f)
{
    content_name_s out;
    const std::string& date = !f.date_original.empty() ? f.date_original
                              : !f.date_digitized.empty() ? f.date_digitized : f.date_time;
    std::tm tm{};
    if (!parse_exif_date(date, &tm))
        return out;  // a camera alone says too little to name a file by
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d.%02d.%02d", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday,
                  tm.tm_hour, tm.tm_min, tm.tm_sec);
    out.name = text;
    const std::string camera = camera_name(f.make, f.model);
    if (!camera.empty())
        out.name += " " + camera;
    // The wall-clock time of the camera: at its own offset when it wrote one,
    // else taken as local time, as FAT times are.
    long offset = 0;
    std::tm copy = tm;
    std::time_t t = -1;
    if (&date == &f.date_original && parse_offset(f.offset_original, &offset)) {
        copy.tm_isdst = 0;
        t = ::timegm(&copy);
        if (t != -1)
            t -= offset;
    } else {
        t = std::mktime(&copy);
    }
    if (t != -1 && t > 0) {
        out.has_time = true;
        out.time = static_cast<int64_t>(t);
    }
    return out;
}

// The Exif of the TIFF structure at base: IFD0, then its Exif directory.
content_name_s exif_at(reader_c& r, uint64_t base, uint64_t limit)
{
    uint8_t h[8];
    if (limit > r.size() || base > limit || limit - base < 8 || !r.read(base, h, 8))
        return {};
    tiff_s t{r, base, limit};
    if (h[0] == 'I' && h[1] == 'I')
        t.little = true;
    else if (h[0] == 'M' && h[1] == 'M')
        t.little = false;
    else
        return {};
    // 42, and what some raw formats put in its place (ORF, RW2).
    const uint16_t magic = t.u16(h + 2);
    if (magic != 42 && magic != 0x4F52 && magic != 0x5352 && magic != 0x55)
        return {};
    exif_fields_s f;
    if (!read_ifd(t, t.u32(h + 4), &f))
        return {};
    if (f.exif_ifd)
        read_ifd(t, f.exif_ifd, &f);
    return name_from_fields(f);
}

}  // namespace

content_name_s exif_name_tiff(reader_c& r) { return exif_at(r, 0, r.size()); }

// The markers before the first scan; the Exif APP1 among them.
content_name_s exif_name_jpeg(reader_c& r)
{
    uint64_t pos = 2;
    for (int segments = 0; segments < 64; ++segments) {
        uint8_t m[4];
        if (!r.read(pos, m, 4) || m[0] != 0xFF)
            return {};
        if (m[1] == 0xFF) {
            ++pos;  // fill byte
            continue;
        }
        if (m[1] == 0xDA || m[1] == 0xD9)
            return {};
        const uint16_t length = platform::be16(m + 2);
        if (length < 2)
            return {};
        if (m[1] == 0xE1 && length >= 16) {
            uint8_t id[6];
            if (r.read(pos + 4, id, 6) && std::memcmp(id, "Exif\0\0", 6) == 0)
                return exif_at(r, pos + 10, std::min<uint64_t>(pos + 2 + length, r.size()));
        }
        pos += 2 + length;
    }
    return {};
}

namespace {

// A box's payload within [from, to) of s: its type, where its payload
// starts and where the box ends. False when no whole box header is there.
bool next_box(const std::string& s, size_t from, size_t to, char type[5], size_t* payload, size_t* end)
{
    if (to > s.size() || from > to || to - from < 8)
        return false;
    const auto* p = reinterpret_cast<const uint8_t*>(s.data() + from);
    uint64_t size = platform::be32(p);
    size_t head = 8;
    if (size == 1) {
        if (to - from < 16)
            return false;
        size = platform::be64(p + 8);
        head = 16;
    } else if (size == 0) {
        size = to - from;
    }
    if (size < head || size > to - from)
        return false;
    std::memcpy(type, p + 4, 4);
    type[4] = '\0';
    *payload = from + head;
    *end = from + static_cast<size_t>(size);
    return true;
}

uint64_t be_sized(const uint8_t* p, unsigned bytes)
{
    return bytes == 8 ? platform::be64(p) : bytes == 4 ? platform::be32(p) : bytes == 2 ? platform::be16(p) : 0;
}

// The Exif item's place in the file from the meta box's item tables: its
// offset and length. False when there is none or the tables do not hold.
bool heic_exif_item(const std::string& meta, uint64_t* offset, uint64_t* length)
{
    // meta is a full box: version and flags come first.
    uint32_t exif_id = 0;
    bool have_id = false;
    size_t iloc_at = 0, iloc_end = 0;
    char type[5];
    size_t payload = 0, end = 0;
    for (size_t at = 4; next_box(meta, at, meta.size(), type, &payload, &end); at = end) {
        if (std::strcmp(type, "iinf") == 0 && end - payload >= 6) {
            const auto* p = reinterpret_cast<const uint8_t*>(meta.data() + payload);
            size_t child = payload + (p[0] == 0 ? 6 : 8);
            char t2[5];
            size_t p2 = 0, e2 = 0;
            for (int items = 0; items < 4096 && next_box(meta, child, end, t2, &p2, &e2); ++items, child = e2) {
                const auto* q = reinterpret_cast<const uint8_t*>(meta.data() + p2);
                if (std::strcmp(t2, "infe") != 0 || e2 - p2 < 4 || q[0] < 2)
                    continue;
                const size_t id_size = q[0] == 2 ? 2 : 4;
                if (e2 - p2 < 4 + id_size + 2 + 4)
                    continue;
                if (std::memcmp(q + 4 + id_size + 2, "Exif", 4) == 0) {
                    exif_id = id_size == 2 ? platform::be16(q + 4) : platform::be32(q + 4);
                    have_id = true;
                    break;
                }
            }
        } else if (std::strcmp(type, "iloc") == 0) {
            iloc_at = payload;
            iloc_end = end;
        }
    }
    if (!have_id || iloc_end - iloc_at < 8)
        return false;
    const auto* p = reinterpret_cast<const uint8_t*>(meta.data() + iloc_at);
    const uint8_t version = p[0];
    const unsigned offset_size = p[4] >> 4, length_size = p[4] & 15, base_size = p[5] >> 4;
    const unsigned index_size = version == 1 || version == 2 ? p[5] & 15 : 0;
    for (unsigned n : {offset_size, length_size, base_size, index_size})
        if (n != 0 && n != 4 && n != 8)
            return false;
    size_t at = iloc_at + 6;
    auto need = [&](size_t n) { return n <= iloc_end - at; };
    uint32_t count = 0;
    if (version < 2) {
        if (!need(2))
            return false;
        count = platform::be16(p + 6);
        at += 2;
    } else {
        if (!need(4))
            return false;
        count = platform::be32(p + 6);
        at += 4;
    }
    for (uint32_t i = 0; i < count && i < 4096; ++i) {
        const size_t id_size = version < 2 ? 2 : 4;
        if (!need(id_size))
            return false;
        const auto* q = reinterpret_cast<const uint8_t*>(meta.data() + at);
        const uint32_t id = id_size == 2 ? platform::be16(q) : platform::be32(q);
        at += id_size;
        unsigned method = 0;
        if (version == 1 || version == 2) {
            if (!need(2))
                return false;
            method = platform::be16(reinterpret_cast<const uint8_t*>(meta.data() + at)) & 15;
            at += 2;
        }
        if (!need(2 + base_size + 2))
            return false;
        const uint64_t base = be_sized(reinterpret_cast<const uint8_t*>(meta.data() + at + 2), base_size);
        at += 2 + base_size;
        const uint16_t extents = platform::be16(reinterpret_cast<const uint8_t*>(meta.data() + at));
        at += 2;
        const size_t extent_size = index_size + offset_size + length_size;
        if (extents > (iloc_end - at) / (extent_size ? extent_size : 1))
            return false;
        if (id == exif_id) {
            if (method != 0 || extents == 0)
                return false;  // kept inside the meta box or elsewhere: not read
            const auto* e = reinterpret_cast<const uint8_t*>(meta.data() + at + index_size);
            const uint64_t rel = be_sized(e, offset_size);
            *length = be_sized(e + offset_size, length_size);
            if (rel > UINT64_MAX - base)
                return false;
            *offset = base + rel;
            return true;
        }
        at += extents * extent_size;
    }
    return false;
}

}  // namespace

// HEIC keeps Exif as an item: a 4-byte offset, then (after "Exif\0\0") the
// TIFF header. The item is found through the meta box's tables; failing
// that, sought in the file's first part.
content_name_s exif_name_heic(reader_c& r)
{
    const std::string head = r.bytes(0, 64 * 1024);
    char type[5];
    size_t payload = 0, end = 0;
    for (size_t at = 0; next_box(head, at, head.size(), type, &payload, &end); at = end) {
        if (std::strcmp(type, "meta") != 0)
            continue;
        uint64_t offset = 0, length = 0;
        uint8_t skip[4];
        if (heic_exif_item(head.substr(payload, end - payload), &offset, &length) && length > 8 &&
            offset < r.size() && length <= r.size() - offset && r.read(offset, skip, 4)) {
            const uint64_t tiff = offset + 4 + platform::be32(skip);
            if (tiff < offset + length) {
                content_name_s n = exif_at(r, tiff, offset + length);
                if (!n.name.empty())
                    return n;
            }
        }
        break;
    }
    for (size_t at = head.find("Exif", 0); at != std::string::npos; at = head.find("Exif", at + 1)) {
        if (at + 10 > head.size() || head.compare(at, 6, std::string("Exif\0\0", 6)) != 0)
            continue;
        const char* h = head.data() + at + 6;
        if ((std::memcmp(h, "II*\0", 4) == 0 || std::memcmp(h, "MM\0*", 4) == 0)) {
            content_name_s n = exif_at(r, at + 6, r.size());
            if (!n.name.empty())
                return n;
        }
    }
    return {};
}

}  // namespace carve::content
