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
#include <vector>

// Longest name a carved file gets, in bytes of UTF-8 with its extension.
inline constexpr size_t raw_name_max_bytes = 200;

struct raw_content_s {
    QString name;       // with its extension
    int64_t time = 0;   // seconds since 1970; 0: none
    QString folder;     // a known file's folder on its volume ("/DCIM/100CANON"); empty: none
};

// A file a file system scan of the same volume found (a deleted or lost FAT
// or exFAT entry, an NTFS record): where its data starts on the volume, its
// size, and what it was called. A carved file that starts there with that
// size is that file.
struct raw_known_file_s {
    uint64_t offset = 0;
    uint64_t size = 0;
    QString name;
    QString folder;
    int64_t time = 0;
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
    // Forgets every name, and the known files.
    void clear();
    // The files found on the volume, by which carved files are named first.
    void set_known_files(const std::vector<raw_known_file_s>& files);

    // Names the record of this type (its pieces in order when it has more
    // than one): a name unique within the type's folder, or none.
    void add(const raw_item_s& item, const std::string& type, const raw_extent_s* extents, size_t count);

    // The name of the record with this index; null when it has none.
    const raw_content_s* find(int64_t index) const;

private:
    // Takes name (with the type's extension) for the record when no other
    // file of the type has it, else "name (2)", ... ; false when none is free.
    bool take_name(int64_t index, const std::string& type, const QString& stem, const QString& extension,
                   raw_content_s content);

    platform::byte_source_ptr device_;
    // Known files by where their data starts, then by size.
    std::unordered_map<uint64_t, std::vector<raw_known_file_s>> known_;
    std::unordered_map<int64_t, raw_content_s> names_;
    // Per type, the names given, case-folded (a destination may not tell
    // cases apart).
    std::unordered_map<std::string, std::unordered_set<QString>> taken_;
    // Per type and case-folded name, the last number tried for it.
    std::unordered_map<std::string, std::unordered_map<QString, int>> next_attempt_;
};
