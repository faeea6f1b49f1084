// Photos: the date a picture was taken and the camera, from the Exif data a
// JPEG carries in its APP1 segment, a TIFF or camera raw file in its own
// directories, and a HEIC in an Exif item.
#include "engines/carve/content_internal.h"
#include "platform/byte_order.h"

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

// The camera as people call it: the model, with the maker's first word in
// front when the model does not begin with it ("Apple iPhone 12", but
// "Canon EOS 80D" and "NIKON D750" as they are).
std::string camera_name(const std::string& make, const std::string& model)
{
    const std::string brand = make.substr(0, std::min(make.find(' '), make.size()));
    if (model.empty())
        return brand;
    if (brand.empty() || starts_with_nocase(model, brand))
        return model;
    return brand + " " + model;
}

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

// HEIC keeps Exif as an item whose data starts with a 4-byte offset and then
// "Exif\0\0" and the TIFF header; it is sought in the file's first part
// rather than through the item tables.
content_name_s exif_name_heic(reader_c& r)
{
    const std::string head = r.bytes(0, 128 * 1024);
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
