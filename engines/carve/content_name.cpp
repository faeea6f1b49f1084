// The bounded reader, text conversions, name cleaning, the choice of reader
// by type, and the ID3 reader.
#include "engines/carve/content_internal.h"

#include <algorithm>
#include <cstring>

namespace carve::content {

bool reader_c::load(uint64_t offset, window_s* w)
{
    const uint64_t start = offset - offset % window_size;
    const size_t length = static_cast<size_t>(std::min<uint64_t>(window_size, size_ - start));
    if (spent_ + length > name_read_budget)
        return false;
    spent_ += length;
    w->length = std::min(read_(start, w->data, length), length);
    w->offset = start;
    return true;
}

bool reader_c::read(uint64_t offset, void* out, size_t length)
{
    if (offset > size_ || length > size_ - offset)
        return false;
    auto* to = static_cast<uint8_t*>(out);
    while (length > 0) {
        window_s* hit = nullptr;
        for (window_s& w : windows_)
            if (w.offset != UINT64_MAX && offset >= w.offset && offset - w.offset < w.length)
                hit = &w;
        if (!hit) {
            hit = &windows_[next_];
            next_ = (next_ + 1) % windows_.size();
            if (!load(offset, hit) || offset - hit->offset >= hit->length)
                return false;
        }
        const size_t at = static_cast<size_t>(offset - hit->offset);
        const size_t n = std::min(length, hit->length - at);
        std::memcpy(to, hit->data + at, n);
        to += n;
        offset += n;
        length -= n;
    }
    return true;
}

std::string reader_c::bytes(uint64_t offset, size_t length)
{
    if (offset >= size_)
        return {};
    length = static_cast<size_t>(std::min<uint64_t>(length, size_ - offset));
    std::string out;
    char buf[4096];
    while (out.size() < length) {
        const size_t n = std::min(sizeof buf, length - out.size());
        if (!read(offset + out.size(), buf, n))
            break;
        out.append(buf, n);
    }
    return out;
}

void append_utf8(std::string* out, uint32_t c)
{
    if (c < 0x80) {
        out->push_back(static_cast<char>(c));
    } else if (c < 0x800) {
        out->push_back(static_cast<char>(0xC0 | c >> 6));
        out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
        out->push_back(static_cast<char>(0xE0 | c >> 12));
        out->push_back(static_cast<char>(0x80 | (c >> 6 & 0x3F)));
        out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x110000) {
        out->push_back(static_cast<char>(0xF0 | c >> 18));
        out->push_back(static_cast<char>(0x80 | (c >> 12 & 0x3F)));
        out->push_back(static_cast<char>(0x80 | (c >> 6 & 0x3F)));
        out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
}

std::string latin1_to_utf8(const std::string& s)
{
    std::string out;
    for (unsigned char c : s)
        append_utf8(&out, c);
    return out;
}

std::string utf16_to_utf8(const std::string& s, bool big_endian)
{
    std::string out;
    for (size_t i = 0; i + 1 < s.size(); i += 2) {
        const auto a = static_cast<uint8_t>(s[i]), b = static_cast<uint8_t>(s[i + 1]);
        uint32_t c = big_endian ? (a << 8 | b) : (b << 8 | a);
        if (c >= 0xD800 && c < 0xDC00 && i + 3 < s.size()) {
            const auto x = static_cast<uint8_t>(s[i + 2]), y = static_cast<uint8_t>(s[i + 3]);
            const uint32_t low = big_endian ? (x << 8 | y) : (y << 8 | x);
            if (low >= 0xDC00 && low < 0xE000) {
                c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
                i += 2;
            }
        }
        if (c >= 0xD800 && c < 0xE000)
            continue;  // an unpaired surrogate
        append_utf8(&out, c);
    }
    return out;
}

std::string trim(const std::string& s)
{
    size_t a = 0, b = s.size();
    while (a < b && (s[a] == ' ' || s[a] == '\0' || s[a] == '\t'))
        ++a;
    while (b > a && (s[b - 1] == ' ' || s[b - 1] == '\0' || s[b - 1] == '\t'))
        --b;
    return s.substr(a, b - a);
}

namespace {

// One text of an ID3v2 text frame: its encoding byte, then the text up to the
// first terminator (a frame may hold several).
std::string id3_text(const std::string& frame)
{
    if (frame.empty())
        return {};
    const uint8_t encoding = static_cast<uint8_t>(frame[0]);
    std::string body = frame.substr(1);
    if (encoding == 1 || encoding == 2) {
        size_t end = 0;
        while (end + 1 < body.size() && (body[end] != '\0' || body[end + 1] != '\0'))
            end += 2;
        body.resize(std::min(end, body.size()));
        bool big = encoding == 2;
        if (encoding == 1 && body.size() >= 2) {
            if (static_cast<uint8_t>(body[0]) == 0xFE && static_cast<uint8_t>(body[1]) == 0xFF)
                big = true;
            else if (static_cast<uint8_t>(body[0]) != 0xFF || static_cast<uint8_t>(body[1]) != 0xFE)
                return {};
            body.erase(0, 2);
        }
        return trim(utf16_to_utf8(body, big));
    }
    body.resize(std::min(body.find('\0'), body.size()));
    if (encoding == 0)
        return trim(latin1_to_utf8(body));
    return encoding == 3 ? trim(body) : std::string();
}

uint32_t syncsafe(const uint8_t* p) { return uint32_t(p[0] & 0x7F) << 21 | (p[1] & 0x7F) << 14 | (p[2] & 0x7F) << 7 | (p[3] & 0x7F); }

std::string join_artist_title(const std::string& artist, const std::string& title)
{
    if (title.empty())
        return {};
    return artist.empty() ? title : artist + " - " + title;
}

}  // namespace

// ID3v2 (2.2 to 2.4) at the start, else ID3v1 in the last 128 bytes.
content_name_s id3_name(reader_c& r)
{
    std::string artist, title;
    uint8_t h[10];
    if (r.read(0, h, sizeof h) && std::memcmp(h, "ID3", 3) == 0 && h[3] >= 2 && h[3] <= 4) {
        const int version = h[3];
        const uint32_t tag_size = syncsafe(h + 6);
        std::string tag = r.bytes(10, std::min<size_t>(tag_size, 128 * 1024));
        if (h[5] & 0x80 && version < 4) {
            // The whole tag was unsynchronised: every FF 00 stands for FF.
            std::string plain;
            for (size_t i = 0; i < tag.size(); ++i) {
                plain.push_back(tag[i]);
                if (static_cast<uint8_t>(tag[i]) == 0xFF && i + 1 < tag.size() && tag[i + 1] == '\0')
                    ++i;
            }
            tag.swap(plain);
        }
        size_t pos = 0;
        if (h[5] & 0x40 && version >= 3 && tag.size() >= 4) {
            const auto* p = reinterpret_cast<const uint8_t*>(tag.data());
            const uint32_t ext = version == 4 ? syncsafe(p) : (uint32_t(p[0]) << 24 | p[1] << 16 | p[2] << 8 | p[3]) + 4;
            pos = ext;
        }
        const size_t id_size = version == 2 ? 3 : 4;
        const size_t head_size = version == 2 ? 6 : 10;
        for (int frames = 0; frames < 512 && pos + head_size <= tag.size(); ++frames) {
            const auto* p = reinterpret_cast<const uint8_t*>(tag.data() + pos);
            if (p[0] == 0)
                break;  // padding
            const std::string id(tag.data() + pos, id_size);
            uint32_t size = 0;
            if (version == 2)
                size = uint32_t(p[3]) << 16 | p[4] << 8 | p[5];
            else if (version == 3)
                size = uint32_t(p[4]) << 24 | p[5] << 16 | p[6] << 8 | p[7];
            else
                size = syncsafe(p + 4);
            if (size > tag.size() - pos - head_size)
                break;
            // Compressed, encrypted or separately unsynchronised frames are
            // not read.
            const bool plain = version == 2 || (version == 3 ? (p[9] & 0xC0) == 0 : (p[9] & 0x0F) == 0);
            if (plain) {
                const std::string body = tag.substr(pos + head_size, size);
                if ((id == "TPE1" || id == "TP1") && artist.empty())
                    artist = id3_text(body);
                else if ((id == "TIT2" || id == "TT2") && title.empty())
                    title = id3_text(body);
            }
            pos += head_size + size;
        }
    }
    if (title.empty() && r.size() >= 128) {
        const std::string v1 = r.bytes(r.size() - 128, 128);
        if (v1.size() == 128 && v1.compare(0, 3, "TAG") == 0) {
            auto field = [&](size_t at) {
                std::string s = v1.substr(at, 30);
                s.resize(std::min(s.find('\0'), s.size()));
                return trim(latin1_to_utf8(s));
            };
            title = field(3);
            artist = field(33);
        }
    }
    content_name_s out;
    out.name = join_artist_title(artist, title);
    return out;
}

}  // namespace carve::content

namespace carve {

content_name_s content_name(const std::string& type, uint64_t size, const content_read_fn& read)
{
    content::reader_c r(read, size);
    if (type == "jpg")
        return content::exif_name_jpeg(r);
    if (type == "tif" || type == "cr2" || type == "nef" || type == "nrw" || type == "arw" || type == "dng" ||
        type == "orf" || type == "pef" || type == "rw2" || type == "sr2")
        return content::exif_name_tiff(r);
    if (type == "heic")
        return content::exif_name_heic(r);
    if (type == "pdf")
        return content::pdf_name(r);
    if (type == "docx" || type == "xlsx" || type == "pptx" || type == "odt" || type == "ods" || type == "odp")
        return content::zip_name(r);
    if (type == "mp3")
        return content::id3_name(r);
    if (type == "mp4" || type == "mov" || type == "m4v" || type == "3gp")
        return content::video_name_isobmff(r);
    if (type == "mkv" || type == "webm")
        return content::video_name_matroska(r);
    if (type == "ts")
        return content::video_name_mpegts(r, 188, 0);
    if (type == "mts")
        return content::video_name_mpegts(r, 192, 4);
    if (type == "eml")
        return content::mail_name(r);
    if (type == "rtf")
        return content::rtf_name(r);
    if (type == "psd")
        return content::psd_name(r);
    return {};
}

std::string clean_content_name(const std::string& name, size_t max_bytes)
{
    // Decoded one character at a time; what is not UTF-8 is dropped.
    std::string out;
    bool blank = false;
    for (size_t i = 0; i < name.size();) {
        const auto c = static_cast<uint8_t>(name[i]);
        size_t n = c < 0x80 ? 1 : (c & 0xE0) == 0xC0 ? 2 : (c & 0xF0) == 0xE0 ? 3 : (c & 0xF8) == 0xF0 ? 4 : 0;
        uint32_t cp = n == 1 ? c : n == 2 ? (c & 0x1F) : n == 3 ? (c & 0x0F) : (c & 0x07);
        bool ok = n > 0 && i + n <= name.size();
        for (size_t k = 1; ok && k < n; ++k) {
            const auto d = static_cast<uint8_t>(name[i + k]);
            ok = (d & 0xC0) == 0x80;
            cp = cp << 6 | (d & 0x3F);
        }
        static const uint32_t least[5] = {0, 0, 0x80, 0x800, 0x10000};
        if (!ok || cp < least[n] || cp > 0x10FFFF || (cp >= 0xD800 && cp < 0xE000) || cp == 0xFEFF || cp == 0xFFFD) {
            i += ok ? n : 1;
            continue;
        }
        i += n;
        if (cp < 0x20 || cp == 0x7F || (cp >= 0x80 && cp < 0xA0) || cp == ' ' || cp == 0xA0 || cp == 0x2028 ||
            cp == 0x2029) {
            blank = true;
            continue;
        }
        if (blank && !out.empty())
            out.push_back(' ');
        blank = false;
        if (cp == '/')
            cp = '_';
        content::append_utf8(&out, cp);
    }
    auto strip_ends = [](std::string& s) {
        while (!s.empty() && (s.back() == ' ' || s.back() == '.'))
            s.pop_back();
        size_t a = 0;
        while (a < s.size() && (s[a] == ' ' || s[a] == '.'))
            ++a;
        s.erase(0, a);
    };
    strip_ends(out);
    if (out.size() > max_bytes) {
        size_t cut = max_bytes;
        while (cut > 0 && (static_cast<uint8_t>(out[cut]) & 0xC0) == 0x80)
            --cut;
        out.resize(cut);
        strip_ends(out);
    }
    return out;
}

}  // namespace carve
