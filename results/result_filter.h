// What narrows a list of found files: a name pattern, a kind of file, a
// size and date range, and whether files that cannot come back whole are
// hidden. One filter serves the window's filter box and quarvel-cli's
// options, so both pick exactly the same files.
#pragma once

#include "results/row_state.h"

#include <QDate>
#include <QString>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

// Kinds of file, told by the name's extension. other is every extension no
// group lists (and names without one). The values live only in memory (the
// result index's name codes, the filter box's items), so a group may be
// added before other.
enum class file_group_e : uint8_t { all, pictures, documents, audio, video, archives, mail, fonts, text, other };

inline constexpr int file_group_count = 10;

// The group an extension (without the dot, any case) belongs to; other when
// no group lists it.
file_group_e group_of_extension(QStringView extension);
// The group of a file name, by what follows its last dot.
file_group_e group_of_name(QStringView name);
// The word quarvel-cli takes for a group ("pictures"); "all" for all.
const char* file_group_word(file_group_e group);
// The group a word names; false when none does.
bool file_group_from_word(const std::string& word, file_group_e* group);
// The language.ini key of the group's caption in the filter box.
const char* file_group_key(file_group_e group);

// A byte count as people write it: digits, optionally with a fraction, and
// K, M, G or T (powers of 1024), optionally followed by B ("1M", "1.5G",
// "700kb", "4096"). False for anything else or a value beyond 2^63.
bool parse_size_text(QStringView text, int64_t* bytes);
// A day as YYYY-MM-DD; false for anything else or a day that does not exist.
bool parse_day_text(QStringView text, QDate* day);
// The first and the last second of a day in local time, as seconds since 1970.
int64_t day_first_second(const QDate& day);
int64_t day_last_second(const QDate& day);

struct result_filter_s {
    // Case-insensitive: a substring of the name, or with * or ? a pattern
    // the whole name must match (* any run of characters, ? one).
    QString name;
    file_group_e group = file_group_e::all;
    int64_t min_size = -1;  // -1: no lower bound
    int64_t max_size = -1;  // -1: no upper bound
    // Seconds since 1970, bounds on the modification time (date1),
    // inclusive. A file whose time is not known (0) is outside any bound.
    int64_t since = std::numeric_limits<int64_t>::min();
    int64_t until = std::numeric_limits<int64_t>::max();
    // Hides overwritten, incomplete and partial files.
    bool whole_only = false;

    bool active() const;
};

// Whether a state is one the "whole only" filter hides.
bool row_state_broken(row_state_e state);

// A filter made ready for testing many rows: the pattern folded once.
class compiled_filter_c {
public:
    explicit compiled_filter_c(const result_filter_s& filter);

    bool active() const { return active_; }
    // Whether a row passes; name is the row's name, group and state what
    // the index keeps for it.
    bool matches(QStringView name, file_group_e group, int64_t size, int64_t modified, row_state_e state) const;
    bool name_matches(QStringView name) const;

private:
    result_filter_s filter_;
    std::u16string pattern_;  // folded
    bool wildcard_ = false;
    bool active_ = false;
};
