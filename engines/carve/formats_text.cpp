// Plain text: runs of UTF-8 (ASCII included) or UTF-16, typed as txt, csv,
// html, xml, json or source code by their first lines. Text carries no
// length, so the end is heuristic: where the zeros after the file begin, or,
// when old data or another type's file (at a sector start) follows it, the
// end of the last whole line before the first byte no text holds or that
// file (what old data adds is seldom a whole line). Off by default: old text
// lies everywhere on a used disk.
#include "engines/carve/carve_internal.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <string>

namespace carve {

namespace {

// Shorter runs are too common in old data (and too small to matter).
constexpr uint64_t min_text = 64;
// The first lines the type is told by.
constexpr size_t head_bytes = 2048;

enum class encoding { utf8, utf16le, utf16be };

bool text_unit(uint32_t c)
{
    if (c < 0x20)
        return c == '\t' || c == '\n' || c == '\r' || c == '\f';
    return c != 0x7F && c != 0xFFFE && c != 0xFFFF;
}

bool starts_nocase(const std::string& s, size_t at, const char* prefix)
{
    const size_t n = std::strlen(prefix);
    if (s.size() < at + n)
        return false;
    for (size_t i = 0; i < n; ++i)
        if (std::tolower(static_cast<unsigned char>(s[at + i])) != prefix[i])
            return false;
    return true;
}

// The lines of head (at most max of them, the last one perhaps cut).
std::vector<std::string> lines_of(const std::string& head, size_t max)
{
    std::vector<std::string> out;
    size_t at = 0;
    while (at < head.size() && out.size() < max) {
        size_t end = head.find('\n', at);
        if (end == std::string::npos)
            end = head.size();
        std::string line = head.substr(at, end - at);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        out.push_back(std::move(line));
        at = end + 1;
    }
    return out;
}

// Rows with the same number of separators, at least three of them (or all
// of a shorter file's, at least two).
bool looks_like_csv(const std::vector<std::string>& lines, bool whole)
{
    const size_t n = std::min<size_t>(lines.size() - (whole ? 0 : 1), 6);
    if (n < 2 || (n < 3 && !whole))
        return false;
    for (char sep : {',', ';', '\t'}) {
        const auto first = std::count(lines[0].begin(), lines[0].end(), sep);
        if (first < (sep == ',' ? 2 : 1))
            continue;
        bool same = true;
        for (size_t i = 1; i < n && same; ++i)
            same = std::count(lines[i].begin(), lines[i].end(), sep) == first;
        if (same)
            return true;
    }
    return false;
}

// head: the run's first bytes (the low byte of each UTF-16 unit), after a
// byte order mark; last: its last character that is not blank.
const char* text_type(const std::string& head, char last, bool whole)
{
    size_t at = 0;
    while (at < head.size() && std::isspace(static_cast<unsigned char>(head[at])))
        ++at;
    if (at == head.size())
        return "txt";
    std::string lower = head.substr(at, 512);
    std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return std::tolower(c); });
    if (lower.compare(0, 14, "<!doctype html") == 0 || lower.compare(0, 5, "<html") == 0 ||
        (lower.compare(0, 5, "<?xml") == 0 && lower.find("<html") != std::string::npos))
        return "html";
    if (lower.compare(0, 5, "<?xml") == 0 || (lower[0] == '<' && lower.size() > 1 && std::isalpha(static_cast<unsigned char>(lower[1])) && last == '>'))
        return "xml";
    if ((head[at] == '{' && last == '}') || (head[at] == '[' && last == ']')) {
        size_t k = at + 1;
        while (k < head.size() && std::isspace(static_cast<unsigned char>(head[k])))
            ++k;
        if (k < head.size() && std::strchr("\"{}[]-0123456789tfn", head[k]))
            return "json";
    }
    const std::vector<std::string> lines = lines_of(head.substr(at), 40);
    if (!lines.empty() && lines[0].compare(0, 2, "#!") == 0) {
        if (lines[0].find("python") != std::string::npos)
            return "py";
        if (lines[0].find("sh") != std::string::npos)
            return "sh";
        return "txt";
    }
    int c_lines = 0, py_lines = 0;
    for (const std::string& l : lines) {
        if (starts_nocase(l, 0, "#include") || starts_nocase(l, 0, "#pragma") || starts_nocase(l, 0, "#define") ||
            starts_nocase(l, 0, "#ifndef"))
            ++c_lines;
        if (l.compare(0, 7, "import ") == 0 || (l.compare(0, 5, "from ") == 0 && l.find(" import ") != std::string::npos) ||
            (l.compare(0, 4, "def ") == 0 && !l.empty() && l.back() == ':'))
            ++py_lines;
    }
    if (c_lines >= 2)
        return "c";
    if (py_lines >= 2)
        return "py";
    if (looks_like_csv(lines, whole))
        return "csv";
    return "txt";
}

}  // namespace

parse_result_s parse_text(parse_ctx_s& ctx)
{
    uint8_t bom[3] = {};
    CARVE_NEED(ctx, ctx.start, min_text, nullptr);
    if (!ctx.read(ctx.start, bom, 3))
        return invalid();
    encoding enc = encoding::utf8;
    uint64_t pos = ctx.start;
    if (bom[0] == 0xEF && bom[1] == 0xBB && bom[2] == 0xBF) {
        pos += 3;
    } else if (bom[0] == 0xFF && bom[1] == 0xFE) {
        enc = encoding::utf16le;
        pos += 2;
    } else if (bom[0] == 0xFE && bom[1] == 0xFF) {
        enc = encoding::utf16be;
        pos += 2;
    } else if (bom[1] == 0 && bom[0] >= 0x20 && bom[0] < 0x7F) {
        enc = encoding::utf16le;
    }
    const uint64_t body = pos;
    const unsigned unit = enc == encoding::utf8 ? 1 : 2;
    std::string head;                  // the first bytes, for the type
    uint64_t line_end = 0;             // past the last line feed
    char last = 0;                     // the last character that is not blank
    char last_by_line = 0;             // and the one before the last line feed
    uint32_t pending = 0;              // continuation bytes a UTF-8 character still needs
    uint64_t char_start = pos;
    bool zero = false;                 // stopped at a zero byte (or unit)
    bool device_end = false;           // ran to the device's end
    const uint64_t bound = ctx.bound();
    // A file written right after the text, with no blank space between,
    // would otherwise be taken into it when it begins like text (a PDF, a
    // mail): each sector start the run comes to is asked about, and the
    // run is read a sector at a time to stop at each.
    const file_starts_c* others = ctx.others;
    const uint64_t sector = others ? others->sector_size() : 0;
    for (;;) {
        if (pos + unit > bound) {
            device_end = bound == ctx.device_end();
            break;
        }
        size_t avail = 0;
        const uint8_t* p = ctx.src.at(pos, &avail);
        if (!p)
            return invalid();
        if (others && pos > ctx.start && pos % sector == 0) {
            const uint8_t first = p[0];
            uint8_t fifth = 0;
            const bool short_piece = avail <= 4;
            if (!short_piece)
                fifth = p[4];
            else if (!ctx.read(pos + 4, &fifth, 1))
                fifth = 0;
            const bool asked = others->may_start(first, fifth);
            if (asked && others->starts_at(ctx.src, pos))
                break;
            // Reading elsewhere through the source may have moved the block.
            if (asked || short_piece) {
                p = ctx.src.at(pos, &avail);
                if (!p)
                    return invalid();
            }
        }
        avail = static_cast<size_t>(std::min<uint64_t>(avail, bound - pos));
        if (others)
            avail = static_cast<size_t>(std::min<uint64_t>(avail, sector - pos % sector));
        if (avail < unit) {
            // A UTF-16 unit across a block edge.
            uint8_t two[2];
            if (!ctx.read(pos, two, 2))
                return invalid();
            const uint32_t c = enc == encoding::utf16le ? le16(two) : be16(two);
            if (!text_unit(c)) {
                zero = c == 0;
                break;
            }
            if (c == '\n') {
                line_end = pos + 2;
                last_by_line = last;
            }
            if (c > ' ')
                last = c < 0x80 ? static_cast<char>(c) : 'x';
            if (head.size() < head_bytes)
                head.push_back(c < 0x80 ? static_cast<char>(c) : 'x');
            pos += 2;
            continue;
        }
        size_t i = 0;
        bool stop = false;
        if (enc == encoding::utf8) {
            for (; i < avail; ++i) {
                const uint8_t b = p[i];
                if (pending) {
                    if ((b & 0xC0) != 0x80) {
                        stop = true;
                        break;
                    }
                    --pending;
                    if (!pending)
                        last = 'x';
                    continue;
                }
                char_start = pos + i;
                if (b < 0x80) {
                    if (!text_unit(b)) {
                        zero = b == 0;
                        stop = true;
                        break;
                    }
                    if (b == '\n') {
                        line_end = pos + i + 1;
                        last_by_line = last;
                    }
                    if (b > ' ')
                        last = static_cast<char>(b);
                } else if (b >= 0xC2 && b <= 0xDF) {
                    pending = 1;
                } else if (b >= 0xE0 && b <= 0xEF) {
                    pending = 2;
                } else if (b >= 0xF0 && b <= 0xF4) {
                    pending = 3;
                } else {
                    stop = true;
                    break;
                }
                if (head.size() < head_bytes)
                    head.push_back(b < 0x80 ? static_cast<char>(b) : 'x');
            }
            if (stop) {
                pos = pending ? char_start : pos + i;
                break;
            }
            pos += avail;
        } else {
            for (; i + 2 <= avail; i += 2) {
                const uint32_t c = enc == encoding::utf16le ? le16(p + i) : be16(p + i);
                if (!text_unit(c)) {
                    zero = c == 0;
                    stop = true;
                    break;
                }
                if (c == '\n') {
                    line_end = pos + i + 2;
                    last_by_line = last;
                }
                if (c > ' ')
                    last = c < 0x80 ? static_cast<char>(c) : 'x';
                if (head.size() < head_bytes)
                    head.push_back(c < 0x80 ? static_cast<char>(c) : 'x');
            }
            pos += i;
            if (stop)
                break;
        }
        if (ctx.src.stopped())
            return invalid();
    }
    if (enc == encoding::utf8 && pending)
        pos = char_start;
    // Zeros after the file, or the device end, close it where they begin;
    // old data, at the last line end before it. A run longer than the
    // type's bound is reported in pieces of at most that, cut at line ends,
    // so that the scan goes on after each rather than trying every sector
    // inside it.
    // Where another file begins, the text ends as it does before old data:
    // what runs up to such a file with no line end in it is seldom text
    // (random bytes read as UTF-16 without a byte order mark).
    const bool at_pos = zero || device_end || (pos + unit > bound && line_end <= body);
    const uint64_t end = at_pos ? pos : line_end;
    if (end < body + min_text)
        return invalid();
    return found(end - ctx.start, text_type(head, end == pos ? last : last_by_line, end == pos));
}

}  // namespace carve
