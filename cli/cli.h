// quarvel-cli: the headless front end. Each command lives in its own
// cmd_*.cpp and registers itself with QUARVEL_CLI_COMMAND.
#pragma once

#include <cstdint>
#include <string>
#include <variant>
#include <vector>

namespace cli {

inline constexpr int exit_ok = 0;
inline constexpr int exit_failed = 1;
inline constexpr int exit_usage = 2;

struct context_s {
    bool json = false;
    std::vector<std::string> images;  // --image paths, already opened
    std::vector<std::string> args;    // everything after the command name
};

using command_fn = int (*)(context_s& ctx);

struct command_s {
    const char* name;
    const char* usage;  // one line, without the program name
    command_fn run;
};

// Registers a command at static-initialisation time.
struct registrar_c {
    registrar_c(const char* name, const char* usage, command_fn run);
};

const std::vector<command_s>& commands();

#define QUARVEL_CLI_COMMAND(ident, name, usage, fn) \
    static ::cli::registrar_c cli_registrar_##ident(name, usage, fn)

// Prints "quarvel-cli: <message>" on stderr, escaped as terminal_escape
// does, and returns exit_failed.
int fail(const std::string& message);
// Prints "quarvel-cli: <message>" and the command's usage on stderr; returns exit_usage.
int usage_error(const context_s& ctx, const char* command, const std::string& message);

// A value in an output row: text or a number.
using value_t = std::variant<std::string, int64_t, uint64_t>;

// Rows printed as an aligned table, or with --json one JSON object per line.
class table_c {
public:
    explicit table_c(std::vector<std::string> columns) : columns_(std::move(columns)) {}
    void add_row(std::vector<value_t> values) { rows_.push_back(std::move(values)); }
    size_t size() const { return rows_.size(); }
    void print(bool json) const;
    // Prints one row immediately (JSON line, or tab-separated), for long scans.
    static void print_json_row(const std::vector<std::string>& columns, const std::vector<value_t>& values);

private:
    std::vector<std::string> columns_;
    std::vector<std::vector<value_t>> rows_;
};

// JSON string text; U+2028, U+2029 and U+0085 are escaped as well, so that
// no reader splits a line inside a value.
std::string json_escape(const std::string& text);
// Text for a terminal: control characters (0x00-0x1F, 0x7F) become "\n",
// "\t", "\x1b" and the like, so a name from a disk cannot move the cursor
// or split a row; C1 controls and the bidirectional overrides and isolates
// (U+202A-202E, U+2066-2069) become "\u009b", "\u202e", ...; a byte that
// is not UTF-8 becomes "\xNN".
std::string terminal_escape(const std::string& text);

// Takes "--flag VALUE" out of args; returns false when absent. *ok is false
// when the flag is present without a value.
bool take_option(std::vector<std::string>& args, const std::string& flag, std::string* value, bool* ok);
// Takes every "--flag VALUE" out of args, in order.
std::vector<std::string> take_all_options(std::vector<std::string>& args, const std::string& flag, bool* ok);
// For a volume argument inside an image file: makes map (when not empty)
// the rescue map read with that image, and checks the map that will be read
// (that one, or IMG.map beside the image). Returns an empty string or why
// the map cannot be used.
std::string use_rescue_map(const std::string& volume_argument, const std::string& map);

// Takes "--flag" out of args; returns whether it was there.
bool take_flag(std::vector<std::string>& args, const std::string& flag);

}  // namespace cli
