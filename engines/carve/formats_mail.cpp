// Mail and other text records: EML and MBOX, vCard and iCalendar, PEM
// blocks, and torrents (bencoded, so binary inside but balanced).
#include "engines/carve/carve_internal.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <string>

namespace carve {

namespace {

// Reads the source a byte at a time, a block in hand, up to ctx.bound().
struct cursor_s {
    parse_ctx_s& ctx;
    uint64_t pos;
    const uint8_t* p = nullptr;
    size_t avail = 0;
    bool failed = false;  // a read error, not the bound

    // The byte at pos, advancing; false at the bound or on a read error.
    bool next(uint8_t* b)
    {
        if (avail == 0) {
            if (pos >= ctx.bound())
                return false;
            p = ctx.src.at(pos, &avail);
            if (!p) {
                failed = true;
                return false;
            }
            avail = static_cast<size_t>(std::min<uint64_t>(avail, ctx.bound() - pos));
        }
        *b = *p++;
        --avail;
        ++pos;
        return true;
    }
    void skip(uint64_t n)
    {
        pos += n;
        avail = 0;
    }
    // What a parser returns when next() said no, the file's header having held.
    parse_result_s end_of_input(const char* type) const
    {
        if (failed)
            return invalid();
        return ctx.out_of_room(pos >= ctx.src.size() ? room::device_end : room::too_big, type);
    }
};

bool text_byte(uint8_t b) { return b >= 0x20 ? b != 0x7F : b == '\t' || b == '\r' || b == '\n' || b == '\f'; }

enum class line_end { ok, binary, input };

// One line from the cursor into *line (without its end, cut to max bytes
// kept); the cursor ends past its line feed. binary when a byte no text
// holds comes first (the cursor then stands on it), input when the bound
// or the device end does.
line_end read_line(cursor_s& c, std::string* line, size_t max = 4096)
{
    line->clear();
    for (;;) {
        uint8_t b = 0;
        if (!c.next(&b))
            return line_end::input;
        if (!text_byte(b)) {
            --c.pos;
            c.avail = 0;
            return line_end::binary;
        }
        if (b == '\n') {
            if (!line->empty() && line->back() == '\r')
                line->pop_back();
            return line_end::ok;
        }
        if (line->size() < max)
            *line += static_cast<char>(b);
    }
}

bool starts_with_nocase(const std::string& s, const char* prefix)
{
    const size_t n = std::strlen(prefix);
    if (s.size() < n)
        return false;
    for (size_t i = 0; i < n; ++i)
        if (std::tolower(static_cast<unsigned char>(s[i])) != std::tolower(static_cast<unsigned char>(prefix[i])))
            return false;
    return true;
}

// A mail header line's name: printable, no blank, no colon, then a colon.
bool header_line(const std::string& line)
{
    const size_t colon = line.find(':');
    if (colon == 0 || colon == std::string::npos || colon > 76)
        return false;
    for (size_t i = 0; i < colon; ++i)
        if (line[i] <= ' ' || line[i] > '~')
            return false;
    return true;
}

// A message's header block from the cursor to its empty line. Returns false
// when it is not one (a line that is neither a header nor its continuation,
// or none of the headers every sent message has). *boundary is the
// multipart boundary when the message declares one.
bool mail_headers(cursor_s& c, std::string* boundary, line_end* why)
{
    std::string line, content_type;
    bool from = false, other = false, in_type = false;
    for (int lines = 0; lines < 2000; ++lines) {
        *why = read_line(c, &line);
        if (*why != line_end::ok)
            return false;
        if (line.empty())
            break;
        if (line[0] == ' ' || line[0] == '\t') {
            if (lines == 0)
                return false;
            if (in_type)
                content_type += line;
            continue;
        }
        if (!header_line(line))
            return false;
        from = from || starts_with_nocase(line, "From:");
        other = other || starts_with_nocase(line, "Date:") || starts_with_nocase(line, "Subject:") ||
                starts_with_nocase(line, "Message-ID:");
        in_type = starts_with_nocase(line, "Content-Type:");
        if (in_type)
            content_type = line;
        if (lines == 1999)
            return false;
    }
    if (!from || !other)
        return false;
    boundary->clear();
    std::string lower = content_type;
    for (char& ch : lower)
        ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    const size_t at = lower.find("boundary=");
    if (lower.find("multipart/") != std::string::npos && at != std::string::npos) {
        size_t i = at + 9;
        const bool quoted = i < content_type.size() && content_type[i] == '"';
        i += quoted;
        while (i < content_type.size() && content_type[i] != '"' && (quoted || (content_type[i] != ';' && content_type[i] != ' ')))
            *boundary += content_type[i++];
        if (boundary->size() > 70)
            boundary->clear();
    }
    return true;
}

// A message body: up to the line that closes its multipart boundary when
// it has one. Otherwise mail carries no length, so the end is heuristic:
// the end of the last whole line before the first byte no text holds (the
// zeros or old data after the file; what old data adds before it is seldom
// a whole line), the device end, or - so that a message does not swallow
// the next one of a mailbox - a "From " line after an empty one. When old
// data follows, a last line that brings the message's first 8-bit byte is
// taken for old data too (most mail is 7-bit, and old bytes that happen to
// read as a line are seldom all ASCII), and so is a last empty line, but
// for the one a mailbox ends its last message with.
parse_result_s mail_body(cursor_s& c, const std::string& boundary, bool stop_at_from, const char* type)
{
    const std::string close = "--" + boundary + "--";
    std::string line;
    bool after_empty = false;
    uint64_t last_start = c.pos;     // the last whole line's start
    bool last_eight = false;         // whether it holds a byte above 0x7F
    bool eight_before = false;       // whether a line before it did
    bool empty_before = false;       // whether the line before it was empty
    for (;;) {
        const uint64_t line_start = c.pos;
        const line_end why = read_line(c, &line, 1024);
        if (why == line_end::binary) {
            uint8_t stop = 0;
            const bool old_data = c.ctx.read(c.pos, &stop, 1) && stop != 0;
            const bool foreign = (last_eight && !eight_before) || (after_empty && (stop_at_from || empty_before));
            if (old_data && foreign && last_start < line_start)
                return last_start > c.ctx.start ? found(last_start - c.ctx.start, type) : invalid();
            return line_start > c.ctx.start ? found(line_start - c.ctx.start, type) : invalid();
        }
        eight_before = eight_before || last_eight;
        empty_before = after_empty;
        last_start = line_start;
        last_eight = std::any_of(line.begin(), line.end(), [](char ch) { return static_cast<uint8_t>(ch) >= 0x80; });
        if (why == line_end::input) {
            if (!boundary.empty() && line == close)
                return found(c.pos - c.ctx.start, type);
            return c.end_of_input(type);
        }
        if (stop_at_from && after_empty && line.rfind("From ", 0) == 0)
            return found(line_start - c.ctx.start, type);
        if (!boundary.empty() && line == close)
            return found(c.pos - c.ctx.start, type);
        after_empty = line.empty();
    }
}

}  // namespace

// One mail message (RFC 5322), from its first header.
parse_result_s parse_eml(parse_ctx_s& ctx)
{
    cursor_s c{ctx, ctx.start};
    std::string boundary;
    line_end why = line_end::ok;
    if (!mail_headers(c, &boundary, &why))
        return why == line_end::input && c.pos - ctx.start > 256 ? c.end_of_input("eml") : invalid();
    return mail_body(c, boundary, true, "eml");
}

// A mailbox: "From " separator lines, each before a message's headers.
// The first message must hold; the mailbox then runs to the first byte no
// text holds (a heuristic end: mailboxes carry no length).
parse_result_s parse_mbox(parse_ctx_s& ctx)
{
    cursor_s c{ctx, ctx.start};
    std::string line;
    if (read_line(c, &line, 512) != line_end::ok || line.size() < 12 || line.find(':') == std::string::npos ||
        line.find_first_of("0123456789") == std::string::npos || line[5] == ' ')
        return invalid();
    std::string boundary;
    line_end why = line_end::ok;
    if (!mail_headers(c, &boundary, &why))
        return invalid();
    return mail_body(c, "", false, "mbox");
}

namespace {

// A text record that opens with BEGIN:<what> and closes with END:<what>,
// perhaps several in a row (a contacts export): the end is the line end of
// the last END line that no BEGIN line follows.
parse_result_s begin_end_records(parse_ctx_s& ctx, const char* what, const char* type)
{
    const std::string begin = std::string("BEGIN:") + what;
    const std::string end = std::string("END:") + what;
    cursor_s c{ctx, ctx.start};
    std::string line;
    int depth = 0;
    uint64_t records = 0;
    for (uint64_t lines = 0; lines < 50000000; ++lines) {
        const uint64_t line_start = c.pos;
        const line_end why = read_line(c, &line, 256);
        if (why == line_end::binary)
            return records && depth == 0 ? found(line_start - ctx.start, type) : invalid();
        if (why == line_end::input)
            return records || lines > 1 ? c.end_of_input(type) : invalid();
        const bool opens = starts_with_nocase(line, begin.c_str()) && line.size() == begin.size();
        const bool closes = starts_with_nocase(line, end.c_str()) && line.size() == end.size();
        if (depth == 0 && !opens)
            return records ? found(line_start - ctx.start, type) : invalid();
        if (lines == 1 && !header_line(line))
            return invalid();
        if (opens)
            ++depth;
        if (closes && --depth == 0)
            ++records;
        if (depth > 8)
            return invalid();
    }
    return invalid();
}

}  // namespace

parse_result_s parse_vcard(parse_ctx_s& ctx) { return begin_end_records(ctx, "VCARD", "vcf"); }
parse_result_s parse_icalendar(parse_ctx_s& ctx) { return begin_end_records(ctx, "VCALENDAR", "ics"); }

// PEM: "-----BEGIN label-----", base64 lines (and the headers an encrypted
// key carries), "-----END label-----"; blocks in a row (a certificate
// chain) are one file.
parse_result_s parse_pem(parse_ctx_s& ctx)
{
    cursor_s c{ctx, ctx.start};
    std::string line, label;
    uint64_t blocks = 0;
    for (uint64_t lines = 0; lines < 1000000; ++lines) {
        const uint64_t line_start = c.pos;
        const line_end why = read_line(c, &line, 256);
        if (why == line_end::binary)
            return blocks && label.empty() ? found(line_start - ctx.start, "pem") : invalid();
        if (why == line_end::input)
            return blocks || lines > 1 ? c.end_of_input("pem") : invalid();
        const bool dashes = line.size() > 10 && line.compare(line.size() - 5, 5, "-----") == 0;
        if (label.empty()) {
            if (line.rfind("-----BEGIN ", 0) != 0 || !dashes)
                return blocks ? found(line_start - ctx.start, "pem") : invalid();
            label = line.substr(11, line.size() - 16);
            if (label.empty() || label.size() > 64 ||
                !std::all_of(label.begin(), label.end(), [](char ch) { return (ch >= 'A' && ch <= 'Z') || (ch >= '0' && ch <= '9') || ch == ' '; }))
                return invalid();
            continue;
        }
        if (line.rfind("-----END ", 0) == 0) {
            if (line != "-----END " + label + "-----")
                return invalid();
            label.clear();
            ++blocks;
            continue;
        }
        if (line.empty() || header_line(line))
            continue;
        for (char ch : line)
            if (!std::isalnum(static_cast<unsigned char>(ch)) && ch != '+' && ch != '/' && ch != '=')
                return invalid();
    }
    return invalid();
}

// A torrent: one bencoded dictionary holding an "info" dictionary; the
// file ends with the dictionary's closing "e".
parse_result_s parse_torrent(parse_ctx_s& ctx)
{
    cursor_s c{ctx, ctx.start};
    // What each open list or dictionary expects next: a key (dictionaries
    // alternate key and value), or any value.
    enum : uint8_t { list_item, dict_key, dict_value };
    uint8_t stack[64];
    int depth = 0;
    bool info = false, key_is_info = false;
    for (uint64_t items = 0; items < 100000000; ++items) {
        uint8_t b = 0;
        if (!c.next(&b))
            return items > 8 ? c.end_of_input("torrent") : invalid();
        if (b == 'e') {
            if (depth == 0 || stack[depth - 1] == dict_value)
                return invalid();
            --depth;
            if (depth == 0)
                return info ? found(c.pos - ctx.start, "torrent") : invalid();
            continue;
        }
        if (depth == 0 && items > 0)
            return invalid();
        const bool is_key = depth > 0 && stack[depth - 1] == dict_key;
        if (is_key && !std::isdigit(b))
            return invalid();
        if (depth == 1 && stack[0] == dict_value && key_is_info && b == 'd')
            info = true;
        if (depth > 0)
            stack[depth - 1] = is_key ? dict_value : stack[depth - 1] == dict_value ? dict_key : list_item;
        if (b == 'd' || b == 'l') {
            if (depth == 64)
                return invalid();
            stack[depth++] = b == 'd' ? dict_key : list_item;
            key_is_info = false;
        } else if (b == 'i') {
            int digits = 0;
            for (;; ++digits) {
                if (!c.next(&b))
                    return c.end_of_input(items > 8 ? "torrent" : nullptr);
                if (b == 'e' && digits > 0)
                    break;
                if (!(std::isdigit(b) || (b == '-' && digits == 0)) || digits > 20)
                    return invalid();
            }
            key_is_info = false;
        } else if (std::isdigit(b)) {
            uint64_t length = b - '0';
            for (int digits = 1;; ++digits) {
                if (!c.next(&b))
                    return c.end_of_input(items > 8 ? "torrent" : nullptr);
                if (b == ':')
                    break;
                if (!std::isdigit(b) || digits > 12)
                    return invalid();
                length = length * 10 + (b - '0');
            }
            key_is_info = false;
            if (is_key && depth == 1 && length == 4) {
                char k[4];
                for (char& ch : k) {
                    if (!c.next(&b))
                        return c.end_of_input(nullptr);
                    ch = static_cast<char>(b);
                }
                key_is_info = std::memcmp(k, "info", 4) == 0;
            } else {
                if (c.ctx.check(c.pos, length) != room::ok)
                    return c.ctx.out_of_room(c.ctx.check(c.pos, length), items > 8 ? "torrent" : nullptr);
                c.skip(length);
            }
        } else {
            return invalid();
        }
    }
    return invalid();
}

}  // namespace carve
