#include "engines/carve/carve.h"
#include "engines/carve/carve_internal.h"
#include "engines/carve/hex_digit.h"

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <sstream>

namespace carve {

namespace {

std::mutex config_mutex;

config_s& installed_config()
{
    static config_s config = default_config();
    return config;
}

bool is_type_name(const std::string& name)
{
    if (name.empty() || name.size() > 32)
        return false;
    for (unsigned char c : name)
        if (!std::isalnum(c) && c != '_' && c != '-')
            return false;
    return true;
}

// A header or footer token: text with \xHH, \s (space), \t, \n, \r, \0 and
// \\ escapes. Returns false on a broken escape.
bool parse_bytes(const std::string& token, std::string* out)
{
    out->clear();
    for (size_t i = 0; i < token.size(); ++i) {
        if (token[i] != '\\') {
            *out += token[i];
            continue;
        }
        if (++i >= token.size())
            return false;
        switch (token[i]) {
        case 's': *out += ' '; break;
        case 't': *out += '\t'; break;
        case 'n': *out += '\n'; break;
        case 'r': *out += '\r'; break;
        case '0': *out += '\0'; break;
        case '\\': *out += '\\'; break;
        case 'x': {
            if (i + 2 >= token.size())
                return false;
            const int hi = hex_digit(token[i + 1]);
            const int lo = hex_digit(token[i + 2]);
            if (hi < 0 || lo < 0)
                return false;
            *out += static_cast<char>(hi * 16 + lo);
            i += 2;
            break;
        }
        default: return false;
        }
    }
    return true;
}

bool parse_switch(const std::string& word, bool* on)
{
    if (word == "on" || word == "yes" || word == "1") {
        *on = true;
        return true;
    }
    if (word == "off" || word == "no" || word == "0") {
        *on = false;
        return true;
    }
    return false;
}

}  // namespace

bool parse_size(const std::string& text, uint64_t* bytes)
{
    if (text.empty() || !std::isdigit(static_cast<unsigned char>(text[0])))
        return false;
    uint64_t value = 0;
    size_t i = 0;
    for (; i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])); ++i) {
        if (value > (UINT64_MAX - 9) / 10)
            return false;
        value = value * 10 + static_cast<uint64_t>(text[i] - '0');
    }
    unsigned shift = 0;
    if (i < text.size()) {
        switch (std::toupper(static_cast<unsigned char>(text[i]))) {
        case 'K': shift = 10; break;
        case 'M': shift = 20; break;
        case 'G': shift = 30; break;
        case 'T': shift = 40; break;
        default: return false;
        }
        ++i;
    }
    if (i != text.size() || value > (UINT64_MAX >> shift))
        return false;
    *bytes = value << shift;
    return true;
}

config_s default_config()
{
    config_s config;
    for (const auto& t : builtin_types())
        config.types[t.name] = {t.on_by_default, t.default_max};
    return config;
}

config_s parse_config(const std::string& text)
{
    config_s config = default_config();
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream words(line);
        std::vector<std::string> w;
        for (std::string word; words >> word;)
            w.push_back(word);
        if (w.empty() || w[0][0] == '#')
            continue;
        if (w[0] == "sector_size" && w.size() == 2) {
            uint64_t n = 0;
            if (parse_size(w[1], &n) && n >= 1 && n <= 65536 && (n & (n - 1)) == 0)
                config.sector_size = static_cast<uint32_t>(n);
        } else if (w[0] == "byte_level" && w.size() == 2) {
            bool on = false;
            if (parse_switch(w[1], &on))
                config.byte_level = on;
        } else if (w[0] == "cluster_size" && w.size() == 2) {
            uint64_t n = 0;
            if (parse_size(w[1], &n) && n >= 512 && n <= (16u << 20) && (n & (n - 1)) == 0)
                config.cluster_size = static_cast<uint32_t>(n);
        } else if (w[0] == "threads" && w.size() == 2) {
            char* end = nullptr;
            const unsigned long n = std::strtoul(w[1].c_str(), &end, 10);
            if (*end == 0 && w[1][0] != '-' && n <= 256)
                config.threads = static_cast<uint32_t>(n);
        } else if (w[0] == "fragment_gap" && w.size() == 2) {
            uint64_t n = 0;
            if (parse_size(w[1], &n) && n <= (1u << 20))
                config.fragment_gap = static_cast<uint32_t>(n);
        } else if (w[0] == "fragment_time" && w.size() == 3) {
            char* e1 = nullptr;
            char* e2 = nullptr;
            const double per_file = std::strtod(w[1].c_str(), &e1);
            const double total = std::strtod(w[2].c_str(), &e2);
            if (*e1 == 0 && *e2 == 0 && per_file >= 0 && per_file <= 3600 && total >= 0 && total <= 86400) {
                config.fragment_seconds = per_file;
                config.fragment_total_seconds = total;
            }
        } else if (w[0] == "check_deleted" && w.size() == 2) {
            bool on = false;
            if (parse_switch(w[1], &on))
                config.check_deleted = on;
        } else if (w[0] == "check_time" && w.size() == 3) {
            char* e1 = nullptr;
            char* e2 = nullptr;
            const double per_file = std::strtod(w[1].c_str(), &e1);
            const double total = std::strtod(w[2].c_str(), &e2);
            if (*e1 == 0 && *e2 == 0 && per_file >= 0 && per_file <= 3600 && total >= 0 && total <= 86400) {
                config.check_seconds = per_file;
                config.check_total_seconds = total;
            }
        } else if (w[0] == "type" && (w.size() == 3 || w.size() == 4)) {
            auto it = config.types.find(w[1]);
            bool on = false;
            uint64_t max = 0;
            if (it == config.types.end() || !parse_switch(w[2], &on))
                continue;
            if (w.size() == 4 && (!parse_size(w[3], &max) || max == 0))
                continue;
            it->second.enabled = on;
            if (w.size() == 4)
                it->second.max_size = max;
        } else if (w[0] == "user" && (w.size() == 4 || w.size() == 5)) {
            user_type_s user;
            user.name = w[1];
            if (!is_type_name(user.name) || !parse_size(w[2], &user.max_size) || user.max_size == 0)
                continue;
            if (!parse_bytes(w[3], &user.header) || user.header.size() < 2 || user.header.size() > 64)
                continue;
            if (w.size() == 5 && (!parse_bytes(w[4], &user.footer) || user.footer.empty() || user.footer.size() > 64))
                continue;
            config.user_types.push_back(std::move(user));
        }
    }
    return config;
}

config_s current_config()
{
    std::lock_guard<std::mutex> lock(config_mutex);
    return installed_config();
}

}  // namespace carve

int carve_load_config(const char* path)
{
    using namespace carve;
    config_s config = default_config();
    int result = -1;
    if (path) {
        std::ifstream in(path, std::ios::binary);
        if (in) {
            std::ostringstream text;
            text << in.rdbuf();
            // A configuration is a few hundred lines; anything huge is not one.
            if (text.str().size() <= (1u << 20)) {
                config = parse_config(text.str());
                result = 0;
            }
        }
    }
    std::lock_guard<std::mutex> lock(config_mutex);
    installed_config() = std::move(config);
    return result;
}

int carve_enable_type(const char* type_name)
{
    using namespace carve;
    if (!type_name)
        return -1;
    std::lock_guard<std::mutex> lock(config_mutex);
    auto& types = installed_config().types;
    const auto it = types.find(type_name);
    if (it == types.end())
        return -1;
    it->second.enabled = true;
    return 0;
}

const char* carve_text_type(int32_t index)
{
    using namespace carve;
    if (index < 0)
        return nullptr;
    int32_t at = 0;
    for (const auto& t : builtin_types())
        if (std::strcmp(t.format, "text") == 0 && at++ == index)
            return t.name;
    return nullptr;
}
