// Documents: a PDF's title from its Info dictionary (found through the
// cross-reference table) or its XMP, and an Office or OpenDocument file's
// title from its core properties.
#include "engines/carve/content_internal.h"
#include "engines/carve/hex_digit.h"
#include "ondisk/byte_order.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>

namespace carve::content {

namespace {

constexpr size_t pdf_tail = 64 * 1024;
constexpr size_t max_text = 4096;

bool pdf_space(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f' || c == '\0'; }

size_t skip_space(const std::string& s, size_t at)
{
    while (at < s.size() && pdf_space(s[at]))
        ++at;
    return at;
}

// A non-negative decimal number at *at (after blanks); advances past it.
bool read_number(const std::string& s, size_t* at, uint64_t* value)
{
    size_t i = skip_space(s, *at);
    const size_t first = i;
    uint64_t v = 0;
    while (i < s.size() && s[i] >= '0' && s[i] <= '9' && i - first < 15)
        v = v * 10 + static_cast<uint64_t>(s[i++] - '0');
    if (i == first)
        return false;
    *at = i;
    *value = v;
    return true;
}

std::string pdf_text(const std::string& raw)
{
    if (raw.size() >= 2 && static_cast<uint8_t>(raw[0]) == 0xFE && static_cast<uint8_t>(raw[1]) == 0xFF)
        return utf16_to_utf8(raw.substr(2), true);
    if (raw.size() >= 3 && raw.compare(0, 3, "\xEF\xBB\xBF") == 0)
        return raw.substr(3);
    return latin1_to_utf8(raw);
}

// The string value at s[at] (literal or hexadecimal), its bytes as written.
bool pdf_string(const std::string& s, size_t at, std::string* out)
{
    at = skip_space(s, at);
    if (at >= s.size())
        return false;
    out->clear();
    if (s[at] == '<' && (at + 1 >= s.size() || s[at + 1] != '<')) {
        int high = -1;
        for (size_t i = at + 1; i < s.size() && s[i] != '>' && out->size() < max_text; ++i) {
            const int d = hex_digit(s[i]);
            if (d < 0)
                continue;
            if (high < 0) {
                high = d;
            } else {
                out->push_back(static_cast<char>(high << 4 | d));
                high = -1;
            }
        }
        if (high >= 0)
            out->push_back(static_cast<char>(high << 4));
        return true;
    }
    if (s[at] != '(')
        return false;
    int depth = 1;
    for (size_t i = at + 1; i < s.size() && out->size() < max_text; ++i) {
        char c = s[i];
        if (c == '\\' && i + 1 < s.size()) {
            c = s[++i];
            switch (c) {
            case 'n': out->push_back('\n'); break;
            case 'r': out->push_back('\r'); break;
            case 't': out->push_back('\t'); break;
            case 'b': out->push_back('\b'); break;
            case 'f': out->push_back('\f'); break;
            case '\r': if (i + 1 < s.size() && s[i + 1] == '\n') ++i; break;
            case '\n': break;
            default:
                if (c >= '0' && c <= '7') {
                    int v = c - '0';
                    for (int k = 0; k < 2 && i + 1 < s.size() && s[i + 1] >= '0' && s[i + 1] <= '7'; ++k)
                        v = v * 8 + (s[++i] - '0');
                    out->push_back(static_cast<char>(v & 0xFF));
                } else {
                    out->push_back(c);
                }
            }
            continue;
        }
        if (c == '(')
            ++depth;
        else if (c == ')' && --depth == 0)
            return true;
        out->push_back(c);
    }
    return true;
}

// The /Title of the dictionary text in s (up to its "endobj").
std::string title_in_dictionary(const std::string& s)
{
    const size_t end = std::min(s.find("endobj"), s.size());
    for (size_t at = s.find("/Title"); at < end; at = s.find("/Title", at + 1)) {
        const size_t value = at + 6;
        if (value < s.size() && !pdf_space(s[value]) && s[value] != '(' && s[value] != '<')
            continue;  // a longer name such as /TitleFoo
        std::string raw;
        if (pdf_string(s, value, &raw))
            return trim(pdf_text(raw));
    }
    return {};
}

// Where object number obj lies, after the cross-reference tables from the
// one at xref back through their /Prev chain. 0 when not found there (a
// cross-reference stream is not read).
uint64_t pdf_object_offset(reader_c& r, uint64_t xref, uint64_t obj)
{
    for (int hop = 0; hop < 8 && xref > 0 && xref < r.size(); ++hop) {
        std::string head = r.bytes(xref, 64);
        if (head.compare(0, 4, "xref") != 0)
            return 0;
        uint64_t pos = xref + 4;
        for (int sections = 0; sections < 1024; ++sections) {
            const std::string line = r.bytes(pos, 64);
            size_t at = 0;
            uint64_t first = 0, count = 0;
            if (!read_number(line, &at, &first) || !read_number(line, &at, &count))
                break;  // "trailer"
            at = skip_space(line, at);
            const uint64_t entries = pos + at;
            if (obj >= first && obj - first < count) {
                const std::string e = r.bytes(entries + (obj - first) * 20, 20);
                size_t k = 0;
                uint64_t offset = 0, generation = 0;
                if (e.size() == 20 && read_number(e, &k, &offset) && read_number(e, &k, &generation) &&
                    e[skip_space(e, k)] == 'n')
                    return offset;
                return 0;
            }
            if (count > r.size() / 20)
                return 0;
            pos = entries + count * 20;
        }
        const std::string trailer = r.bytes(pos, 2048);
        const size_t prev = trailer.find("/Prev");
        uint64_t next = 0;
        size_t at = prev + 5;
        if (trailer.compare(skip_space(trailer, 0), 7, "trailer") != 0 || prev == std::string::npos ||
            !read_number(trailer, &at, &next) || next == xref)
            return 0;
        xref = next;
    }
    return 0;
}

// "N G obj" at offset (after blanks), and the object's text.
std::string pdf_object(reader_c& r, uint64_t offset, uint64_t obj)
{
    const std::string s = r.bytes(offset, 8192);
    size_t at = 0;
    uint64_t number = 0, generation = 0;
    if (!read_number(s, &at, &number) || !read_number(s, &at, &generation) || number != obj)
        return {};
    at = skip_space(s, at);
    if (s.compare(at, 3, "obj") != 0)
        return {};
    return s.substr(at + 3);
}

std::string decode_entities(const std::string& s)
{
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] != '&') {
            out.push_back(s[i]);
            continue;
        }
        const size_t semi = s.find(';', i);
        if (semi == std::string::npos || semi - i > 10) {
            out.push_back('&');
            continue;
        }
        const std::string name = s.substr(i + 1, semi - i - 1);
        uint32_t cp = 0;
        if (name == "amp") cp = '&';
        else if (name == "lt") cp = '<';
        else if (name == "gt") cp = '>';
        else if (name == "quot") cp = '"';
        else if (name == "apos") cp = '\'';
        else if (name.size() > 1 && name[0] == '#') {
            const bool hex = name[1] == 'x' || name[1] == 'X';
            for (size_t k = hex ? 2 : 1; k < name.size() && cp <= 0x10FFFF; ++k) {
                const int d = hex ? hex_digit(name[k]) : (name[k] >= '0' && name[k] <= '9' ? name[k] - '0' : -1);
                if (d < 0) {
                    cp = 0;
                    break;
                }
                cp = cp * (hex ? 16 : 10) + static_cast<uint32_t>(d);
            }
        }
        if (cp == 0 || cp > 0x10FFFF) {
            out.push_back('&');
            continue;
        }
        append_utf8(&out, cp);
        i = semi;
    }
    return out;
}

// Inflates a raw deflate stream into at most limit bytes.
std::string inflate_bounded(const std::string& in, size_t limit)
{
    z_stream z{};
    if (inflateInit2(&z, -15) != Z_OK)
        return {};
    std::string out(limit, '\0');
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in.data()));
    z.avail_in = static_cast<uInt>(in.size());
    z.next_out = reinterpret_cast<Bytef*>(out.data());
    z.avail_out = static_cast<uInt>(out.size());
    const int rc = inflate(&z, Z_FINISH);
    const size_t produced = out.size() - z.avail_out;
    inflateEnd(&z);
    if (rc != Z_STREAM_END && rc != Z_BUF_ERROR && rc != Z_OK)
        return {};
    out.resize(produced);
    return out;
}

}  // namespace

std::string xml_title(const std::string& xml)
{
    const size_t open = xml.find("<dc:title");
    if (open == std::string::npos)
        return {};
    const size_t body = xml.find('>', open);
    const size_t close = xml.find("</dc:title>", open);
    if (body == std::string::npos || close == std::string::npos || body > close || xml[body - 1] == '/')
        return {};
    std::string text;
    bool in_tag = false;
    for (size_t i = body + 1; i < close && text.size() < max_text; ++i) {
        if (xml[i] == '<')
            in_tag = true;
        else if (xml[i] == '>')
            in_tag = false;
        else if (!in_tag)
            text.push_back(xml[i]);
    }
    return trim(decode_entities(text));
}

content_name_s pdf_name(reader_c& r)
{
    content_name_s out;
    const uint64_t tail_at = r.size() > pdf_tail ? r.size() - pdf_tail : 0;
    const std::string tail = r.bytes(tail_at, pdf_tail);
    if (tail.find("/Encrypt") != std::string::npos)
        return out;  // its strings are not readable text
    const size_t info = tail.rfind("/Info");
    uint64_t obj = 0, generation = 0;
    size_t at = info + 5;
    if (info != std::string::npos && read_number(tail, &at, &obj) && read_number(tail, &at, &generation)) {
        uint64_t xref = 0;
        const size_t start = tail.rfind("startxref");
        size_t k = start + 9;
        uint64_t offset = 0;
        if (start != std::string::npos && read_number(tail, &k, &xref))
            offset = pdf_object_offset(r, xref, obj);
        std::string object = offset ? pdf_object(r, offset, obj) : std::string();
        if (object.empty()) {
            // No table to go by: the object as it stands in the tail.
            std::string mark = " ";  // appended, not added: GCC 12 at -O3 warns wrongly of "..." + string
            mark += std::to_string(generation);
            mark += " obj";
            for (size_t hit = tail.find(std::to_string(obj) + mark); hit != std::string::npos && object.empty();
                 hit = tail.find(std::to_string(obj) + mark, hit + 1))
                if (hit == 0 || pdf_space(tail[hit - 1]))
                    object = pdf_object(r, tail_at + hit, obj);
        }
        out.name = title_in_dictionary(object);
    }
    if (out.name.empty())
        out.name = xml_title(tail);
    if (out.name.empty() && tail_at > 0)
        out.name = xml_title(r.bytes(0, std::min<uint64_t>(tail_at, pdf_tail)));
    return out;
}

// The title in docProps/core.xml (Office) or meta.xml (OpenDocument), found
// through the central directory at the end.
content_name_s zip_name(reader_c& r)
{
    content_name_s out;
    const size_t tail_size = static_cast<size_t>(std::min<uint64_t>(r.size(), 65535 + 22));
    const std::string tail = r.bytes(r.size() - tail_size, tail_size);
    const size_t eocd = tail.rfind(std::string("PK\5\6", 4));
    if (eocd == std::string::npos || tail.size() - eocd < 22)
        return out;
    const auto* e = reinterpret_cast<const uint8_t*>(tail.data() + eocd);
    const uint64_t cd_size = platform::le32(e + 12), cd_at = platform::le32(e + 16);
    if (cd_at > r.size() || cd_size > r.size() - cd_at)
        return out;
    const std::string cd = r.bytes(cd_at, static_cast<size_t>(std::min<uint64_t>(cd_size, 96 * 1024)));
    for (size_t pos = 0; pos + 46 <= cd.size();) {
        const auto* c = reinterpret_cast<const uint8_t*>(cd.data() + pos);
        if (std::memcmp(c, "PK\1\2", 4) != 0)
            break;
        const uint16_t method = platform::le16(c + 10);
        const uint32_t csize = platform::le32(c + 20);
        const size_t name_length = platform::le16(c + 28);
        const size_t extra = platform::le16(c + 30), comment = platform::le16(c + 32);
        const uint32_t local = platform::le32(c + 42);
        if (pos + 46 + name_length > cd.size())
            break;
        const std::string name = cd.substr(pos + 46, name_length);
        pos += 46 + name_length + extra + comment;
        if (name != "docProps/core.xml" && name != "meta.xml")
            continue;
        uint8_t l[30];
        if ((method != 0 && method != 8) || csize > 64 * 1024 || !r.read(local, l, sizeof l) ||
            std::memcmp(l, "PK\3\4", 4) != 0)
            return out;
        const uint64_t data = uint64_t(local) + 30 + platform::le16(l + 26) + platform::le16(l + 28);
        const std::string stored = r.bytes(data, csize);
        if (stored.size() != csize)
            return out;
        out.name = xml_title(method == 0 ? stored : inflate_bounded(stored, 64 * 1024));
        return out;
    }
    return out;
}

}  // namespace carve::content
