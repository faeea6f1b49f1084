#include "cli.h"
#include "platform/raw_device.h"
#include "platform/rescue_map.h"

#include <algorithm>
#include <cstdio>
#include <iostream>
#include <sys/stat.h>

namespace cli {

namespace {
std::vector<command_s>& registry()
{
    static std::vector<command_s> list;
    return list;
}

std::string to_text(const value_t& value)
{
    if (const auto* text = std::get_if<std::string>(&value))
        return terminal_escape(*text);
    if (const auto* number = std::get_if<int64_t>(&value))
        return std::to_string(*number);
    return std::to_string(std::get<uint64_t>(value));
}

// Characters, not bytes, so that names with accents line up.
size_t shown_width(const std::string& text)
{
    size_t n = 0;
    for (unsigned char c : text)
        n += (c & 0xC0) != 0x80;
    return n;
}

std::string to_json(const value_t& value)
{
    if (const auto* text = std::get_if<std::string>(&value))
        return "\"" + json_escape(*text) + "\"";
    return to_text(value);
}
}  // namespace

registrar_c::registrar_c(const char* name, const char* usage, command_fn run)
{
    registry().push_back({name, usage, run});
    std::sort(registry().begin(), registry().end(),
              [](const command_s& a, const command_s& b) { return std::string(a.name) < b.name; });
}

const std::vector<command_s>& commands() { return registry(); }

int fail(const std::string& message)
{
    // Reasons quote paths and names read from disks and scan files.
    std::fprintf(stderr, "quarvel-cli: %s\n", terminal_escape(message).c_str());
    return exit_failed;
}

int usage_error(const context_s&, const char* command, const std::string& message)
{
    std::fprintf(stderr, "quarvel-cli: %s\n", terminal_escape(message).c_str());
    for (const auto& c : commands())
        if (std::string(c.name) == command)
            std::fprintf(stderr, "usage: quarvel-cli [--image PATH]... [--json] %s\n", c.usage);
    return exit_usage;
}

namespace {

// The length of the well-formed UTF-8 sequence at text[at] and its code
// point, or 0 when the byte there starts none.
size_t utf8_sequence(const std::string& text, size_t at, char32_t* code)
{
    const auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(at);
    size_t length = 0;
    char32_t c = 0;
    if (lead >= 0xC2 && lead <= 0xDF)
        length = 2, c = lead & 0x1F;
    else if (lead >= 0xE0 && lead <= 0xEF)
        length = 3, c = lead & 0x0F;
    else if (lead >= 0xF0 && lead <= 0xF4)
        length = 4, c = lead & 0x07;
    else
        return 0;
    if (at + length > text.size())
        return 0;
    for (size_t i = 1; i < length; ++i) {
        if ((byte(at + i) & 0xC0) != 0x80)
            return 0;
        c = (c << 6) | (byte(at + i) & 0x3F);
    }
    // Overlong forms, surrogates and code points past U+10FFFF are no text.
    if ((length == 3 && c < 0x800) || (length == 4 && (c < 0x10000 || c > 0x10FFFF)) || (c >= 0xD800 && c <= 0xDFFF))
        return 0;
    *code = c;
    return length;
}

std::string code_point_escape(char32_t c)
{
    char buf[12];
    std::snprintf(buf, sizeof buf, "\\u%04x", static_cast<unsigned>(c));
    return buf;
}

// C1 controls (a terminal may take U+009B for the start of a command) and
// the bidirectional embeddings, overrides and isolates, which make a name
// read backwards or hide what follows it.
bool terminal_unsafe(char32_t c)
{
    return (c >= 0x80 && c <= 0x9F) || (c >= 0x202A && c <= 0x202E) || (c >= 0x2066 && c <= 0x2069);
}

}  // namespace

std::string json_escape(const std::string& text)
{
    std::string out;
    out.reserve(text.size() + 2);
    for (size_t at = 0; at < text.size(); ++at) {
        const auto c = static_cast<unsigned char>(text[at]);
        // Line and paragraph separators end a line for JavaScript and for
        // readers that split on Unicode line breaks: one object per line
        // holds only if they are escaped.
        char32_t code = 0;
        if (c >= 0x80) {
            const size_t length = utf8_sequence(text, at, &code);
            if (length > 0 && (code == 0x2028 || code == 0x2029 || code == 0x85)) {
                out += code_point_escape(code);
                at += length - 1;
                continue;
            }
        }
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
            if (c < 0x20) {
                char buf[8];
                std::snprintf(buf, sizeof buf, "\\u%04x", c);
                out += buf;
            } else {
                out += static_cast<char>(c);
            }
        }
    }
    return out;
}

std::string terminal_escape(const std::string& text)
{
    std::string out;
    out.reserve(text.size());
    for (size_t at = 0; at < text.size(); ++at) {
        const auto c = static_cast<unsigned char>(text[at]);
        if (c >= 0x80) {
            // A byte that begins no UTF-8 character is shown by its value:
            // a terminal reading 8-bit controls takes a lone 0x9B for one.
            char32_t code = 0;
            const size_t length = utf8_sequence(text, at, &code);
            if (length == 0) {
                char buf[8];
                std::snprintf(buf, sizeof buf, "\\x%02x", c);
                out += buf;
            } else if (terminal_unsafe(code)) {
                out += code_point_escape(code);
            } else {
                out.append(text, at, length);
            }
            at += length == 0 ? 0 : length - 1;
            continue;
        }
        switch (c) {
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
            if (c < 0x20 || c == 0x7F) {
                char buf[8];
                std::snprintf(buf, sizeof buf, "\\x%02x", c);
                out += buf;
            } else {
                out += static_cast<char>(c);
            }
        }
    }
    return out;
}

void table_c::print_json_row(const std::vector<std::string>& columns, const std::vector<value_t>& values)
{
    std::string line = "{";
    for (size_t i = 0; i < columns.size() && i < values.size(); ++i) {
        if (i)
            line += ",";
        line += "\"" + json_escape(columns[i]) + "\":" + to_json(values[i]);
    }
    line += "}\n";
    std::fputs(line.c_str(), stdout);
}

void table_c::print(bool json) const
{
    if (json) {
        for (const auto& row : rows_)
            print_json_row(columns_, row);
        std::fflush(stdout);
        return;
    }
    std::vector<size_t> widths(columns_.size());
    for (size_t i = 0; i < columns_.size(); ++i)
        widths[i] = shown_width(columns_[i]);
    for (const auto& row : rows_)
        for (size_t i = 0; i < row.size() && i < widths.size(); ++i)
            widths[i] = std::max(widths[i], shown_width(to_text(row[i])));
    auto emit = [&](const std::vector<std::string>& cells) {
        std::string line;
        for (size_t i = 0; i < cells.size(); ++i) {
            line += cells[i];
            if (i + 1 < cells.size())
                line += std::string(widths[i] - shown_width(cells[i]) + 2, ' ');
        }
        std::puts(line.c_str());
    };
    emit(columns_);
    for (const auto& row : rows_) {
        std::vector<std::string> cells;
        for (const auto& v : row)
            cells.push_back(to_text(v));
        emit(cells);
    }
    std::fflush(stdout);
}

bool take_option(std::vector<std::string>& args, const std::string& flag, std::string* value, bool* ok)
{
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i] != flag)
            continue;
        if (i + 1 >= args.size()) {
            *ok = false;
            args.erase(args.begin() + static_cast<long>(i));
            return true;
        }
        *value = args[i + 1];
        args.erase(args.begin() + static_cast<long>(i), args.begin() + static_cast<long>(i) + 2);
        return true;
    }
    return false;
}

std::vector<std::string> take_all_options(std::vector<std::string>& args, const std::string& flag, bool* ok)
{
    std::vector<std::string> values;
    std::string value;
    while (take_option(args, flag, &value, ok) && *ok)
        values.push_back(value);
    return values;
}

bool take_flag(std::vector<std::string>& args, const std::string& flag)
{
    auto it = std::find(args.begin(), args.end(), flag);
    if (it == args.end())
        return false;
    args.erase(it);
    return true;
}

std::string use_rescue_map(const std::string& volume_argument, const std::string& map)
{
    std::string image = volume_argument;
    if (!platform::split_image_volume_path(volume_argument, &image, nullptr))
        image = volume_argument;
    struct stat st {};
    if (::stat(image.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
        return map.empty() ? std::string() : "--map goes with a disk image, and " + volume_argument + " is none";
    return platform::adopt_rescue_map(image, map);
}

}  // namespace cli
