#include "platform/rescue_map.h"
#include "platform/fd_io.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {

namespace {

int status_index(char status)
{
    switch (status) {
    case rescue_untried: return 0;
    case rescue_untrimmed: return 1;
    case rescue_unscraped: return 2;
    case rescue_bad: return 3;
    case rescue_done: return 4;
    default: return -1;
    }
}

bool is_phase(char c) { return status_index(c) >= 0 || c == 'F' || c == 'G'; }

// Larger than any disk, small enough that pos + size never overflows.
constexpr uint64_t largest_offset = uint64_t{1} << 62;
constexpr size_t longest_line = 1024;
constexpr size_t most_blocks = 2u << 20;
constexpr uint64_t largest_file = uint64_t{64} << 20;

// ddrescue writes "0x..." and reads decimal too.
bool parse_number(std::string_view word, uint64_t* value)
{
    uint64_t v = 0;
    int base = 10;
    if (word.size() > 2 && word[0] == '0' && (word[1] == 'x' || word[1] == 'X')) {
        base = 16;
        word.remove_prefix(2);
    }
    if (word.empty() || word.size() > 20)
        return false;
    for (char c : word) {
        int digit;
        if (c >= '0' && c <= '9')
            digit = c - '0';
        else if (base == 16 && c >= 'a' && c <= 'f')
            digit = c - 'a' + 10;
        else if (base == 16 && c >= 'A' && c <= 'F')
            digit = c - 'A' + 10;
        else
            return false;
        if (v > (largest_offset - static_cast<uint64_t>(digit)) / static_cast<uint64_t>(base))
            return false;
        v = v * static_cast<uint64_t>(base) + static_cast<uint64_t>(digit);
    }
    *value = v;
    return true;
}

std::vector<std::string_view> words_of(std::string_view line)
{
    std::vector<std::string_view> words;
    size_t i = 0;
    while (i < line.size() && words.size() < 8) {
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t' || line[i] == '\r'))
            ++i;
        size_t j = i;
        while (j < line.size() && line[j] != ' ' && line[j] != '\t' && line[j] != '\r')
            ++j;
        if (j > i)
            words.push_back(line.substr(i, j - i));
        i = j;
    }
    return words;
}

std::string hex(uint64_t v)
{
    char text[24];
    std::snprintf(text, sizeof text, "0x%08llX", static_cast<unsigned long long>(v));
    return text;
}

// An image is named by relative paths, absolute ones and links alike.
std::string real_path(const std::string& path)
{
    char* resolved = ::realpath(path.c_str(), nullptr);
    if (!resolved)
        return path;
    std::string text = resolved;
    std::free(resolved);
    return text;
}

std::mutex chosen_mutex;
std::map<std::string, std::string>& chosen_maps()
{
    static std::map<std::string, std::string> maps;
    return maps;
}

}  // namespace

rescue_map_c::rescue_map_c(uint64_t size) : size_(size)
{
    if (size_ > 0) {
        blocks_.emplace(0, std::make_pair(size_, rescue_untried));
        count(rescue_untried, static_cast<int64_t>(size_));
    }
}

void rescue_map_c::count(char status, int64_t delta)
{
    const int i = status_index(status);
    if (i >= 0)
        counts_[i] = static_cast<uint64_t>(static_cast<int64_t>(counts_[i]) + delta);
}

uint64_t rescue_map_c::bytes_with(char status) const
{
    const int i = status_index(status);
    return i < 0 ? 0 : counts_[i];
}

void rescue_map_c::split_at(uint64_t pos)
{
    if (pos == 0 || pos >= size_)
        return;
    auto it = blocks_.upper_bound(pos);
    --it;  // the block holding pos: blocks start at 0 and leave no gaps
    if (it->first == pos)
        return;
    const uint64_t head = pos - it->first;
    const auto [length, status] = it->second;
    it->second.first = head;
    blocks_.emplace_hint(std::next(it), pos, std::make_pair(length - head, status));
}

void rescue_map_c::merge_around(std::map<uint64_t, std::pair<uint64_t, char>>::iterator it)
{
    auto after = std::next(it);
    if (after != blocks_.end() && after->second.second == it->second.second) {
        it->second.first += after->second.first;
        blocks_.erase(after);
    }
    if (it != blocks_.begin()) {
        auto before = std::prev(it);
        if (before->second.second == it->second.second) {
            before->second.first += it->second.first;
            blocks_.erase(it);
        }
    }
}

void rescue_map_c::set(uint64_t pos, uint64_t length, char status)
{
    if (pos >= size_ || length == 0 || status_index(status) < 0)
        return;
    const uint64_t end = length > size_ - pos ? size_ : pos + length;
    split_at(pos);
    split_at(end);
    auto first = blocks_.find(pos);
    for (auto it = first; it != blocks_.end() && it->first < end;) {
        count(it->second.second, -static_cast<int64_t>(it->second.first));
        it = it == first ? std::next(it) : blocks_.erase(it);
    }
    first->second = {end - pos, status};
    count(status, static_cast<int64_t>(end - pos));
    merge_around(first);
}

char rescue_map_c::status_at(uint64_t pos) const
{
    if (pos >= size_)
        return rescue_untried;
    auto it = std::prev(blocks_.upper_bound(pos));
    return it->second.second;
}

bool rescue_map_c::next(char status, uint64_t from, rescue_block_s* out) const
{
    if (from >= size_)
        return false;
    auto it = std::prev(blocks_.upper_bound(from));
    for (; it != blocks_.end(); ++it) {
        if (it->second.second != status)
            continue;
        const uint64_t start = std::max(it->first, from);
        *out = {start, it->first + it->second.first - start, status};
        return true;
    }
    return false;
}

bool rescue_map_c::previous(char status, uint64_t to, rescue_block_s* out) const
{
    if (to == 0 || size_ == 0)
        return false;
    to = std::min(to, size_);
    auto it = std::prev(blocks_.upper_bound(to - 1));
    while (true) {
        if (it->second.second == status) {
            const uint64_t end = std::min(it->first + it->second.first, to);
            *out = {it->first, end - it->first, status};
            return true;
        }
        if (it == blocks_.begin())
            return false;
        --it;
    }
}

std::vector<rescue_block_s> rescue_map_c::blocks() const
{
    std::vector<rescue_block_s> all;
    all.reserve(blocks_.size());
    for (const auto& [pos, block] : blocks_)
        all.push_back({pos, block.first, block.second});
    return all;
}

std::string rescue_map_c::to_text(const std::string& comment) const
{
    std::string text;
    size_t from = 0;
    while (from < comment.size()) {
        size_t to = comment.find('\n', from);
        if (to == std::string::npos)
            to = comment.size();
        text += "# " + comment.substr(from, to - from) + "\n";
        from = to + 1;
    }
    text += "# current_pos  current_status  current_pass\n";
    text += hex(current_pos) + "     " + current_phase + "               " + std::to_string(current_pass) + "\n";
    text += "#      pos        size  status\n";
    for (const auto& [pos, block] : blocks_)
        text += hex(pos) + "  " + hex(block.first) + "  " + block.second + "\n";
    return text;
}

std::string parse_rescue_map(std::string_view text, rescue_map_c* out)
{
    bool have_status = false;
    uint64_t current_pos = 0;
    char phase = rescue_untried;
    int pass = 1;
    std::vector<rescue_block_s> blocks;
    uint64_t end = 0;
    size_t line_number = 0;
    size_t from = 0;
    while (from < text.size()) {
        size_t to = text.find('\n', from);
        if (to == std::string_view::npos)
            to = text.size();
        const std::string_view line = text.substr(from, to - from);
        from = to + 1;
        ++line_number;
        const std::string where = "line " + std::to_string(line_number) + ": ";
        if (line.size() > longest_line)
            return where + "the line is too long for a map";
        const std::vector<std::string_view> words = words_of(line);
        if (words.empty() || words[0][0] == '#')
            continue;
        if (!have_status) {
            // "pos phase [pass]"
            if (words.size() < 2 || words.size() > 3 || words[1].size() != 1 || !is_phase(words[1][0]) ||
                !parse_number(words[0], &current_pos))
                return where + "expected the current position and phase";
            phase = words[1][0];
            uint64_t p = 1;
            if (words.size() == 3 && (!parse_number(words[2], &p) || p == 0 || p > 1000000))
                return where + "the pass is not a number";
            pass = static_cast<int>(p);
            have_status = true;
            continue;
        }
        uint64_t pos = 0;
        uint64_t size = 0;
        if (words.size() != 3 || !parse_number(words[0], &pos) || !parse_number(words[1], &size) ||
            words[2].size() != 1 || status_index(words[2][0]) < 0)
            return where + "expected \"position size status\"";
        if (size > largest_offset - pos)
            return where + "the block ends past any disk";
        if (pos < end)
            return where + "the block overlaps the one before it";
        if (size == 0)
            continue;
        if (blocks.size() >= most_blocks)
            return where + "too many blocks for a map";
        if (pos > end)
            blocks.push_back({end, pos - end, rescue_untried});
        blocks.push_back({pos, size, words[2][0]});
        end = pos + size;
    }
    if (!have_status)
        return "it is not a rescue map (no line with the current position)";
    rescue_map_c map(end);
    for (const rescue_block_s& b : blocks)
        if (b.status != rescue_untried)
            map.set(b.pos, b.size, b.status);
    map.current_pos = std::min(current_pos, end);
    map.current_phase = phase;
    map.current_pass = pass;
    *out = std::move(map);
    return {};
}

std::string read_rescue_map(const std::string& path, rescue_map_c* out)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0)
        return "cannot open the map " + path + ": " + std::strerror(errno);
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || static_cast<uint64_t>(st.st_size) > largest_file) {
        ::close(fd);
        return "the map " + path + " is not a regular file of at most 64 MiB";
    }
    std::string text(static_cast<size_t>(st.st_size), '\0');
    const ssize_t got = read_fully(fd, text.data(), text.size());
    ::close(fd);
    if (got < 0)
        return "cannot read the map " + path + ": " + std::strerror(errno);
    text.resize(static_cast<size_t>(got));
    const std::string why = parse_rescue_map(text, out);
    return why.empty() ? why : "the map " + path + " cannot be read: " + why;
}

std::string write_rescue_map(const std::string& path, const rescue_map_c& map, const std::string& comment)
{
    // A new file of its own beside the map, never one already there (which
    // may be a link put in its place), then renamed over the map.
    std::string temporary = path + ".XXXXXX";
    const int fd = ::mkostemp(temporary.data(), O_CLOEXEC);
    if (fd < 0)
        return "cannot write the map " + path + ": " + std::strerror(errno);
    ::fchmod(fd, 0644);
    const std::string text = map.to_text(comment);
    const bool written = write_fully(fd, text.data(), text.size()) && ::fsync(fd) == 0;
    const int error = errno;
    ::close(fd);
    if (!written || ::rename(temporary.c_str(), path.c_str()) != 0) {
        const std::string why = std::strerror(written ? errno : error);
        ::unlink(temporary.c_str());
        return "cannot write the map " + path + ": " + why;
    }
    return {};
}

std::string rescue_map_misfit(const rescue_map_c& map, uint64_t image_size, const std::string& map_path,
                              const std::string& image_path)
{
    const std::string sizes = "the map " + map_path + " covers " + std::to_string(map.size()) + " bytes but " +
                              image_path + " holds " + std::to_string(image_size);
    if (map.size() < image_size)
        return sizes + " (it is not this image's map)";
    rescue_block_s rescued;
    if (map.size() > image_size && map.next(rescue_done, image_size, &rescued))
        return sizes + ", and bytes past its end are marked rescued (the image was cut short, or is not this "
                       "map's image)";
    return {};
}

void choose_rescue_map(const std::string& image_file, const std::string& map_path)
{
    std::lock_guard<std::mutex> lock(chosen_mutex);
    chosen_maps()[real_path(image_file)] = map_path;
}

std::string rescue_map_for(const std::string& image_file)
{
    {
        std::lock_guard<std::mutex> lock(chosen_mutex);
        auto it = chosen_maps().empty() ? chosen_maps().end() : chosen_maps().find(real_path(image_file));
        if (it != chosen_maps().end())
            return it->second;
    }
    const std::string beside = image_file + ".map";
    struct stat st {};
    return ::stat(beside.c_str(), &st) == 0 && S_ISREG(st.st_mode) ? beside : std::string();
}

std::string lay_rescue_map(const std::string& image_file, uint64_t window_start, uint64_t window_size,
                           unreadable_map_c* unreadable)
{
    const std::string map_path = rescue_map_for(image_file);
    if (map_path.empty())
        return {};
    struct stat st {};
    if (::stat(image_file.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
        return {};
    rescue_map_c map;
    if (std::string why = read_rescue_map(map_path, &map); !why.empty())
        return why;
    if (std::string why = rescue_map_misfit(map, static_cast<uint64_t>(st.st_size), map_path, image_file); !why.empty())
        return why;
    const uint64_t window_end = window_start + window_size;
    for (const rescue_block_s& b : map.blocks()) {
        if (b.status == rescue_done)
            continue;
        const uint64_t from = std::max(b.pos, window_start);
        const uint64_t to = std::min(b.end(), window_end);
        if (from < to)
            unreadable->add(from - window_start, to - from, 0);
    }
    return {};
}

std::string adopt_rescue_map(const std::string& image_file, const std::string& map_path)
{
    struct stat st {};
    if (::stat(image_file.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
        return map_path.empty() ? std::string() : "a rescue map goes with a disk image file, and " + image_file + " is none";
    if (!map_path.empty())
        choose_rescue_map(image_file, map_path);
    unreadable_map_c scratch;
    std::string why = lay_rescue_map(image_file, 0, static_cast<uint64_t>(st.st_size), &scratch);
    // A refused map must not stay chosen for the scans that follow.
    if (!why.empty() && !map_path.empty()) {
        std::lock_guard<std::mutex> lock(chosen_mutex);
        chosen_maps().erase(real_path(image_file));
    }
    return why;
}

}  // namespace platform
