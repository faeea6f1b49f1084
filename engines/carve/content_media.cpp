// Names from what videos, mail and a few document formats hold about
// themselves: a video's recording time (and camera, or title), a message's
// date and subject, an RTF or Photoshop file's title.
#include "engines/carve/content_internal.h"
#include "engines/carve/hex_digit.h"
#include "ondisk/byte_order.h"

#include <algorithm>
#include <bit>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string_view>
#include <utility>
#include <vector>

namespace carve::content {

std::string local_stamp(int64_t unix_seconds)
{
    const std::time_t t = static_cast<std::time_t>(unix_seconds);
    std::tm tm{};
    if (!::localtime_r(&t, &tm))
        return {};
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d.%02d.%02d", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday,
                  tm.tm_hour, tm.tm_min, tm.tm_sec);
    return text;
}

namespace {

// Times outside these years are a clock never set or bytes that are no time.
constexpr int64_t earliest = 631152000;   // 1990-01-01
constexpr int64_t latest = 4102444800;    // 2100-01-01

std::string stamped(int64_t time, const std::string& rest, content_name_s* out)
{
    if (time < earliest || time >= latest)
        return rest;
    out->has_time = true;
    out->time = time;
    const std::string stamp = local_stamp(time);
    return rest.empty() ? stamp : stamp + " " + rest;
}

// ---- ISO media (MP4, MOV, M4V, 3GP) ----------------------------------------

struct box_s {
    char type[5] = {};
    uint64_t payload = 0;
    uint64_t end = 0;
};

// The box at `at` that ends by `limit`; false when there is none.
bool box_at(reader_c& r, uint64_t at, uint64_t limit, box_s* b)
{
    uint8_t h[16];
    if (at >= limit || limit - at < 8 || !r.read(at, h, 8))
        return false;
    uint64_t size = platform::be32(h);
    uint64_t head = 8;
    if (size == 1) {
        if (limit - at < 16 || !r.read(at + 8, h + 8, 8))
            return false;
        size = platform::be64(h + 8);
        head = 16;
    } else if (size == 0) {
        size = limit - at;
    }
    if (size < head || size > limit - at)
        return false;
    std::memcpy(b->type, h + 4, 4);
    b->payload = at + head;
    b->end = at + size;
    return true;
}

// A QuickTime text item in udta: a 16-bit length, a language, the text.
std::string quicktime_text(reader_c& r, const box_s& b)
{
    uint8_t h[4];
    if (b.end - b.payload < 4 || !r.read(b.payload, h, 4))
        return {};
    const size_t length = std::min<uint64_t>({platform::be16(h), b.end - b.payload - 4, 128});
    return trim(r.bytes(b.payload + 4, length));
}

}  // namespace

// The movie header's creation time (seconds since 1904, UTC) and the
// camera's make and model from the user data, wherever the movie box lies
// (cameras write it after the media data).
content_name_s video_name_isobmff(reader_c& r)
{
    content_name_s out;
    box_s top;
    uint64_t at = 0;
    for (int n = 0; n < 64 && box_at(r, at, r.size(), &top); ++n, at = top.end) {
        if (std::strcmp(top.type, "moov") != 0)
            continue;
        int64_t time = 0;
        std::string make, model;
        box_s child;
        uint64_t c = top.payload;
        for (int k = 0; k < 256 && box_at(r, c, top.end, &child); ++k, c = child.end) {
            if (std::strcmp(child.type, "mvhd") == 0) {
                uint8_t h[12];
                if (child.end - child.payload >= 12 && r.read(child.payload, h, 12)) {
                    const uint64_t created = h[0] == 1 ? platform::be64(h + 4) : platform::be32(h + 4);
                    if (created >= 2082844800u && created - 2082844800u < uint64_t(latest))
                        time = static_cast<int64_t>(created - 2082844800u);
                }
            } else if (std::strcmp(child.type, "udta") == 0) {
                box_s item;
                uint64_t u = child.payload;
                for (int i = 0; i < 64 && box_at(r, u, child.end, &item); ++i, u = item.end) {
                    if (std::memcmp(item.type, "\xA9mak", 4) == 0)
                        make = quicktime_text(r, item);
                    else if (std::memcmp(item.type, "\xA9mod", 4) == 0)
                        model = quicktime_text(r, item);
                }
            }
        }
        if (time >= earliest && time < latest)
            out.name = stamped(time, camera_name(make, model), &out);
        break;
    }
    return out;
}

// ---- Matroska and WebM -----------------------------------------------------

namespace {

// An EBML number at `at`: its bytes and value (an ID keeps its length
// marker, a size loses it; a size of all ones is unknown).
struct ebml_s {
    uint64_t id = 0;
    uint64_t size = 0;
    bool unknown = false;
    uint64_t payload = 0;
};

bool ebml_number(reader_c& r, uint64_t at, bool keep_marker, uint64_t* value, unsigned* length, bool* all_ones)
{
    uint8_t b[8];
    if (!r.read(at, b, 1) || b[0] == 0)
        return false;
    const unsigned n = static_cast<unsigned>(std::countl_zero(static_cast<unsigned>(b[0])) - 23);
    if (n > 8 || (n > 1 && !r.read(at + 1, b + 1, n - 1)))
        return false;
    uint64_t v = keep_marker ? b[0] : (b[0] & (0xFFu >> n));
    bool ones = (b[0] & (0xFFu >> n)) == (0xFFu >> n);
    for (unsigned i = 1; i < n; ++i) {
        v = v << 8 | b[i];
        ones = ones && b[i] == 0xFF;
    }
    *value = v;
    *length = n;
    if (all_ones)
        *all_ones = ones;
    return true;
}

bool ebml_element(reader_c& r, uint64_t at, ebml_s* e)
{
    unsigned a = 0, b = 0;
    if (!ebml_number(r, at, true, &e->id, &a, nullptr) || a > 4 ||
        !ebml_number(r, at + a, false, &e->size, &b, &e->unknown))
        return false;
    e->payload = at + a + b;
    return true;
}

}  // namespace

// The segment's Info: DateUTC (nanoseconds since 2001, UTC) and Title.
content_name_s video_name_matroska(reader_c& r)
{
    content_name_s out;
    ebml_s head, segment;
    if (!ebml_element(r, 0, &head) || head.id != 0x1A45DFA3 || head.unknown ||
        head.size > r.size() - std::min(r.size(), head.payload) ||
        !ebml_element(r, head.payload + head.size, &segment) || segment.id != 0x18538067)
        return out;
    const uint64_t segment_end =
        segment.unknown || segment.size > r.size() - std::min(r.size(), segment.payload) ? r.size()
                                                                                         : segment.payload + segment.size;
    ebml_s e;
    uint64_t at = segment.payload;
    for (int n = 0; n < 64 && at < segment_end && ebml_element(r, at, &e) && !e.unknown; ++n) {
        if (e.payload > segment_end || e.size > segment_end - e.payload || e.id == 0x1F43B675)  // Info comes before clusters
            break;
        if (e.id == 0x1549A966) {
            int64_t time = 0;
            bool has_time = false;
            std::string title;
            ebml_s f;
            const uint64_t info_end = e.payload + e.size;
            uint64_t i = e.payload;
            for (int k = 0; k < 64 && i < info_end && ebml_element(r, i, &f) && !f.unknown; ++k) {
                if (f.payload > info_end || f.size > info_end - f.payload)
                    break;
                uint8_t v[8];
                if (f.id == 0x4461 && f.size == 8 && r.read(f.payload, v, 8)) {
                    // Whole seconds, rounded down, from 2001-01-01.
                    const int64_t ns = static_cast<int64_t>(platform::be64(v));
                    const int64_t s = ns / 1000000000 - (ns % 1000000000 < 0 ? 1 : 0);
                    time = 978307200 + s;
                    has_time = true;
                } else if (f.id == 0x7BA9) {
                    title = trim(r.bytes(f.payload, static_cast<size_t>(std::min<uint64_t>(f.size, 512))));
                }
                i = f.payload + f.size;
            }
            out.name = has_time ? stamped(time, title, &out) : title;
            break;
        }
        at = e.payload + e.size;
    }
    return out;
}

// ---- MPEG transport streams (AVCHD .MTS, .M2TS) ----------------------------

namespace {

// AVCHD cameras put their recording time in an H.264 SEI message (user data,
// unregistered) of this UUID: "MDPM", a count, then five-byte entries of a
// tag and four BCD bytes.
constexpr char mdpm_uuid[] = "\x17\xEE\x8C\x60\xF8\x4D\x11\xD9\x8C\xD6\x08\x00\x20\x0C\x9A\x66MDPM";
constexpr size_t mdpm_uuid_length = sizeof mdpm_uuid - 1;
// How much of the stream is looked through: the camera writes the message
// with the first picture.
constexpr size_t mdpm_search_bytes = 128 * 1024;
constexpr size_t max_pids = 16;

int bcd(uint8_t b) { return (b >> 4) > 9 || (b & 15) > 9 ? -1 : (b >> 4) * 10 + (b & 15); }

// The wall-clock time of an MDPM block whose count byte is at `at` of es.
bool mdpm_time(const std::string& es, size_t at, std::tm* tm)
{
    const size_t count = uint8_t(es[at]);
    int year = -1, month = -1, day = -1, hour = -1, minute = -1, second = -1;
    for (size_t i = 0; i < count && at + 1 + (i + 1) * 5 <= es.size(); ++i) {
        const auto* e = reinterpret_cast<const uint8_t*>(es.data() + at + 1 + i * 5);
        if (e[0] == 0x18) {  // time zone, year (two bytes), month
            const int hi = bcd(e[2]), lo = bcd(e[3]);
            year = hi < 0 || lo < 0 ? -1 : hi * 100 + lo;
            month = bcd(e[4]);
        } else if (e[0] == 0x19) {  // day, hour, minute, second
            day = bcd(e[1]);
            hour = bcd(e[2]);
            minute = bcd(e[3]);
            second = bcd(e[4]);
        }
    }
    if (year < 1990 || year >= 2100 || month < 1 || month > 12 || day < 1 || day > 31 || hour < 0 || hour > 23 ||
        minute < 0 || minute > 59 || second < 0 || second > 60)
        return false;
    *tm = std::tm{};
    tm->tm_year = year - 1900;
    tm->tm_mon = month - 1;
    tm->tm_mday = day;
    tm->tm_hour = hour;
    tm->tm_min = minute;
    tm->tm_sec = second;
    tm->tm_isdst = -1;
    return true;
}

}  // namespace

// The recording time AVCHD cameras write into the video stream. The packets'
// payloads are joined per stream (the message may straddle two packets) and
// the bytes H.264 inserts against start codes taken out again.
content_name_s video_name_mpegts(reader_c& r, size_t packet, size_t lead)
{
    content_name_s out;
    const std::string head = r.bytes(0, static_cast<size_t>(std::min<uint64_t>(r.size(), mdpm_search_bytes)));
    std::vector<std::pair<uint16_t, std::string>> streams;
    for (size_t at = 0; at + packet <= head.size(); at += packet) {
        const auto* p = reinterpret_cast<const uint8_t*>(head.data() + at + lead);
        if (p[0] != 0x47)
            break;
        const uint16_t pid = uint16_t((p[1] & 0x1F) << 8 | p[2]);
        const unsigned adaptation = (p[3] >> 4) & 3;
        size_t payload = 4;
        if (adaptation == 2 || adaptation == 0)
            continue;
        if (adaptation == 3)
            payload += 1 + size_t(p[4]);
        if (pid < 0x20 || pid == 0x1FFF || payload >= 188)
            continue;
        auto it = std::find_if(streams.begin(), streams.end(), [&](const auto& s) { return s.first == pid; });
        if (it == streams.end()) {
            if (streams.size() >= max_pids)
                continue;
            streams.emplace_back(pid, std::string());
            it = streams.end() - 1;
        }
        // Emulation prevention: 00 00 03 stands for 00 00.
        for (size_t i = payload; i < 188; ++i) {
            const std::string& es = it->second;
            const size_t n = es.size();
            if (p[i] == 3 && n >= 2 && es[n - 1] == 0 && es[n - 2] == 0)
                continue;
            it->second.push_back(char(p[i]));
        }
    }
    for (const auto& [pid, es] : streams) {
        const size_t found = es.find(std::string_view(mdpm_uuid, mdpm_uuid_length));
        std::tm tm{};
        if (found == std::string::npos || found + mdpm_uuid_length >= es.size() ||
            !mdpm_time(es, found + mdpm_uuid_length, &tm))
            continue;
        char text[64];
        std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d.%02d.%02d", tm.tm_year + 1900, tm.tm_mon + 1,
                      tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
        out.name = text;
        // The camera's wall clock, taken as local time as FAT times are.
        const std::time_t t = std::mktime(&tm);
        if (t != -1 && t >= earliest && t < latest) {
            out.has_time = true;
            out.time = static_cast<int64_t>(t);
        }
        break;
    }
    return out;
}

// ---- mail ------------------------------------------------------------------

namespace {

int month_number(const std::string& m)
{
    static const char* names[12] = {"jan", "feb", "mar", "apr", "may", "jun", "jul", "aug", "sep", "oct", "nov", "dec"};
    for (int i = 0; i < 12; ++i)
        if (m.size() >= 3 && std::tolower(static_cast<unsigned char>(m[0])) == names[i][0] &&
            std::tolower(static_cast<unsigned char>(m[1])) == names[i][1] &&
            std::tolower(static_cast<unsigned char>(m[2])) == names[i][2])
            return i;
    return -1;
}

// "Tue, 08 Dec 2026 10:00:00 +0000" (the weekday and the seconds may be
// missing; a zone by name counts as UTC).
bool mail_date(const std::string& text, int64_t* out)
{
    std::string s = text;
    const size_t comma = s.find(',');
    if (comma != std::string::npos)
        s = s.substr(comma + 1);
    int day = 0, year = 0, hour = 0, minute = 0, second = 0;
    char month[8] = {}, zone[8] = {};
    if (std::sscanf(s.c_str(), " %d %3s %d %d:%d:%d %7s", &day, month, &year, &hour, &minute, &second, zone) < 6) {
        second = 0;
        zone[0] = 0;
        if (std::sscanf(s.c_str(), " %d %3s %d %d:%d %7s", &day, month, &year, &hour, &minute, zone) < 5)
            return false;
    }
    const int mon = month_number(month);
    if (mon < 0 || day < 1 || day > 31 || year < 1970 || year > 2099 || hour > 23 || minute > 59 || second > 60)
        return false;
    std::tm tm{};
    tm.tm_year = year - 1900;
    tm.tm_mon = mon;
    tm.tm_mday = day;
    tm.tm_hour = hour;
    tm.tm_min = minute;
    tm.tm_sec = second;
    int64_t t = ::timegm(&tm);
    if ((zone[0] == '+' || zone[0] == '-') && std::isdigit(static_cast<unsigned char>(zone[1])) &&
        std::strlen(zone) == 5) {
        const int hh = (zone[1] - '0') * 10 + (zone[2] - '0');
        const int mm = (zone[3] - '0') * 10 + (zone[4] - '0');
        const int64_t offset = (hh * 60 + mm) * 60;
        t += zone[0] == '+' ? -offset : offset;
    }
    *out = t;
    return true;
}

std::string base64_decode(const std::string& in)
{
    std::string out;
    uint32_t bits = 0;
    int count = 0;
    for (char c : in) {
        int v = c >= 'A' && c <= 'Z' ? c - 'A' : c >= 'a' && c <= 'z' ? c - 'a' + 26 : c >= '0' && c <= '9' ? c - '0' + 52
                : c == '+' ? 62 : c == '/' ? 63 : -1;
        if (v < 0)
            continue;
        bits = bits << 6 | static_cast<uint32_t>(v);
        count += 6;
        if (count >= 8) {
            count -= 8;
            out.push_back(static_cast<char>((bits >> count) & 0xFF));
        }
    }
    return out;
}

// A header's text with its encoded words (=?charset?B|Q?...?=) decoded:
// UTF-8 and ASCII as they are, Latin-1 and its Windows sibling converted;
// a word in any other charset is kept as written.
std::string decode_words(const std::string& s)
{
    std::string out;
    size_t i = 0;
    bool last_was_word = false;
    while (i < s.size()) {
        const size_t open = s.find("=?", i);
        if (open == std::string::npos) {
            out += s.substr(i);
            break;
        }
        const size_t q1 = s.find('?', open + 2);
        const size_t q2 = q1 == std::string::npos ? q1 : s.find('?', q1 + 1);
        const size_t close = q2 == std::string::npos ? q2 : s.find("?=", q2 + 1);
        if (close == std::string::npos || q2 != q1 + 2) {
            out += s.substr(i);
            break;
        }
        const std::string between = s.substr(i, open - i);
        if (!(last_was_word && between.find_first_not_of(" \t") == std::string::npos))
            out += between;
        std::string charset = s.substr(open + 2, q1 - open - 2);
        std::transform(charset.begin(), charset.end(), charset.begin(), [](unsigned char c) { return std::tolower(c); });
        const char mode = static_cast<char>(std::toupper(static_cast<unsigned char>(s[q1 + 1])));
        const std::string text = s.substr(q2 + 1, close - q2 - 1);
        std::string bytes;
        if (mode == 'B') {
            bytes = base64_decode(text);
        } else {
            for (size_t k = 0; k < text.size(); ++k) {
                if (text[k] == '_')
                    bytes.push_back(' ');
                else if (text[k] == '=' && k + 2 < text.size() && hex_digit(text[k + 1]) >= 0 && hex_digit(text[k + 2]) >= 0) {
                    bytes.push_back(static_cast<char>(hex_digit(text[k + 1]) * 16 + hex_digit(text[k + 2])));
                    k += 2;
                } else {
                    bytes.push_back(text[k]);
                }
            }
        }
        if (charset == "utf-8" || charset == "us-ascii")
            out += bytes;
        else if (charset == "iso-8859-1" || charset == "iso-8859-15" || charset == "windows-1252")
            out += latin1_to_utf8(bytes);
        else
            out += s.substr(open, close + 2 - open);
        last_was_word = true;
        i = close + 2;
    }
    return out;
}

}  // namespace

// A message's headers (unfolded), up to the empty line that ends them.
content_name_s mail_name(reader_c& r)
{
    content_name_s out;
    const std::string head = r.bytes(0, 64 * 1024);
    std::string subject, date, current;
    auto take = [&](const std::string& line) {
        const size_t colon = line.find(':');
        if (colon == std::string::npos)
            return;
        std::string key = line.substr(0, colon);
        std::transform(key.begin(), key.end(), key.begin(), [](unsigned char c) { return std::tolower(c); });
        if (key == "subject" && subject.empty())
            subject = trim(line.substr(colon + 1));
        else if (key == "date" && date.empty())
            date = trim(line.substr(colon + 1));
    };
    size_t at = 0;
    for (int lines = 0; lines < 2000 && at < head.size(); ++lines) {
        size_t end = head.find('\n', at);
        if (end == std::string::npos)
            break;
        std::string line = head.substr(at, end - at);
        at = end + 1;
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line.empty())
            break;
        if (line[0] == ' ' || line[0] == '\t') {
            current += " " + trim(line);
            continue;
        }
        take(current);
        current = line;
    }
    take(current);
    int64_t time = 0;
    const std::string text = decode_words(subject);
    out.name = mail_date(date, &time) ? stamped(time, text, &out) : text;
    return out;
}

// ---- RTF and Photoshop -------------------------------------------------------

// The text of {\title ...} inside {\info ...}: \'hh as a Windows-1252 byte
// (taken as Latin-1), \uN as that character (its fallback skipped), other
// control words dropped.
content_name_s rtf_name(reader_c& r)
{
    content_name_s out;
    const std::string head = r.bytes(0, 64 * 1024);
    const size_t info = head.find("{\\info");
    const size_t at = info == std::string::npos ? info : head.find("{\\title", info);
    if (at == std::string::npos)
        return out;
    std::string title;
    size_t i = at + 7;
    if (i < head.size() && head[i] == ' ')
        ++i;
    int fallback = 0;
    for (; i < head.size() && title.size() < 1024; ++i) {
        const char c = head[i];
        if (c == '}')
            break;
        if (c == '{' || c == '\r' || c == '\n')
            continue;
        if (c != '\\') {
            if (fallback > 0)
                --fallback;
            else
                title.push_back(c);
            continue;
        }
        if (i + 1 >= head.size())
            break;
        const char n = head[i + 1];
        if (n == '\\' || n == '{' || n == '}') {
            title.push_back(n);
            ++i;
        } else if (n == '\'' && i + 3 < head.size() && hex_digit(head[i + 2]) >= 0 && hex_digit(head[i + 3]) >= 0) {
            if (fallback > 0)
                --fallback;
            else
                title += latin1_to_utf8(std::string(1, static_cast<char>(hex_digit(head[i + 2]) * 16 + hex_digit(head[i + 3]))));
            i += 3;
        } else {
            // A control word: letters, an optional number, an optional space.
            size_t k = i + 1;
            while (k < head.size() && std::isalpha(static_cast<unsigned char>(head[k])))
                ++k;
            const std::string word = head.substr(i + 1, k - i - 1);
            const size_t digits_from = k;
            if (k < head.size() && head[k] == '-')
                ++k;
            while (k < head.size() && std::isdigit(static_cast<unsigned char>(head[k])))
                ++k;
            if (word == "u" && k > digits_from) {
                long v = std::strtol(head.substr(digits_from, k - digits_from).c_str(), nullptr, 10);
                if (v < 0)
                    v += 65536;
                if (v > 0 && v < 0x110000)
                    append_utf8(&title, static_cast<uint32_t>(v));
                fallback = 1;
            }
            if (k < head.size() && head[k] == ' ')
                ++k;
            i = k - 1;
        }
    }
    out.name = trim(title);
    return out;
}

// The dc:title of the XMP packet among the image resources (resource 1060).
content_name_s psd_name(reader_c& r)
{
    content_name_s out;
    uint8_t h[4];
    if (!r.read(26, h, 4))
        return out;
    const uint64_t resources_at = 30 + uint64_t(platform::be32(h));
    if (resources_at > r.size() || !r.read(resources_at, h, 4))
        return out;
    const uint64_t end = std::min<uint64_t>(r.size(), resources_at + 4 + uint64_t(platform::be32(h)));
    uint64_t at = resources_at + 4;
    for (int n = 0; n < 1024 && at + 12 <= end; ++n) {
        uint8_t b[7];
        if (!r.read(at, b, 7) || std::memcmp(b, "8BIM", 4) != 0)
            break;
        const uint16_t id = platform::be16(b + 4);
        const uint64_t name_bytes = (uint64_t(b[6]) + 2) & ~uint64_t(1);  // the length byte and the name, to even
        uint8_t s[4];
        if (at + 6 + name_bytes + 4 > end || !r.read(at + 6 + name_bytes, s, 4))
            break;
        const uint64_t size = platform::be32(s);
        const uint64_t data = at + 6 + name_bytes + 4;
        if (size > end - data)
            break;
        if (id == 1060) {
            out.name = xml_title(r.bytes(data, static_cast<size_t>(std::min<uint64_t>(size, 128 * 1024))));
            break;
        }
        at = data + size + (size & 1);
    }
    return out;
}

}  // namespace carve::content
