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

std::string json_escape(const std::string& text)
{
    std::string out;
    out.reserve(text.size() + 2);
    for (unsigned char c : text) {
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
    for (unsigned char c : text) {
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
    if (!map.empty())
        platform::choose_rescue_map(image, map);
    platform::unreadable_map_c scratch;
    return platform::lay_rescue_map(image, 0, static_cast<uint64_t>(st.st_size), &scratch);
}

}  // namespace cli
