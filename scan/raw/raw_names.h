// Carved files named by their content ("2024-07-14 15.32.10 Canon EOS 80D.jpg",
// a document's title, "Artist - Title.mp3"), worked out as each file is
// found, while its first bytes are still fresh in the system's cache, so the
// table shows them before anything is recovered. Files that say nothing keep
// their number.
#pragma once

#include "platform/byte_source.h"
#include "scan/raw/raw_pieces.h"
#include "scan/raw/scan_file.h"

#include <QString>
#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <unordered_set>

// Longest name a carved file gets, in bytes of UTF-8 with its extension.
inline constexpr size_t raw_name_max_bytes = 200;

struct raw_content_s {
    QString name;       // with its extension
    int64_t time = 0;   // seconds since 1970; 0: none
};

class raw_names_c {
public:
    raw_names_c();
    ~raw_names_c();

    // Holds the device the records lie on, for reading their content. Names
    // are only made while it is held; without one (it could not be opened)
    // every file keeps its number.
    void open(platform::byte_source_ptr device);
    void close();
    // Forgets every name.
    void clear();

    // Names the record of this type (its pieces in order when it has more
    // than one): a name unique within the type's folder, or none.
    void add(const raw_item_s& item, const std::string& type, const raw_extent_s* extents, size_t count);

    // The name of the record with this index; null when it has none.
    const raw_content_s* find(int64_t index) const;

private:
    platform::byte_source_ptr device_;
    std::unordered_map<int64_t, raw_content_s> names_;
    // Per type, the names given, case-folded (a destination may not tell
    // cases apart).
    std::unordered_map<std::string, std::unordered_set<QString>> taken_;
    // Per type and case-folded name, the last number tried for it.
    std::unordered_map<std::string, std::unordered_map<QString, int>> next_attempt_;
};
