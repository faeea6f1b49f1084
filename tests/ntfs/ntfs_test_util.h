// Helpers for the NTFS tests: stand-alone volume copies, record surgery with
// the update-sequence fixups undone and redone, and a whole-scan listing.
#pragma once

#include "engines/ntfs/ntfs_engine.h"
#include "support/fixtures.h"

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace ntfs_test {

// One delivered record, decoded.
struct found_s {
    int64_t number = 0;
    int64_t parent = 0;
    int64_t size = 0;
    int64_t time_a = 0;
    int64_t time_b = 0;
    uint32_t flags = 0;
    std::u16string name;
};

// Decodes a 576-byte engine record.
found_s decode(const uint8_t* record);

// Runs a whole engine scan on path. Returns the startup result; *found gets
// every record and *stats the final counters. The scan is left open in
// *context when keep_open (the caller closes it).
int scan_all(const std::string& path, std::vector<found_s>* found,
             ntfs_engine::scan_stats_s* stats = nullptr, std::vector<uint8_t>* context = nullptr);

// Path of a record (names from the root down, "/" separated), or empty when
// its chain does not reach record 5.
std::string path_of(const std::map<int64_t, found_s>& by_number, int64_t number);

std::string utf8(const std::u16string& s);

// Copies the bytes [start, start + size) of image into a new file. Returns
// false on any error.
bool copy_range(const std::string& image, uint64_t start, uint64_t size, const std::string& out);

// Copies partition `partition` of a fixture (by its manifest's volume line)
// into a stand-alone volume file. Returns false when it has no such volume.
bool copy_fixture_volume(const test_support::fixture_s& f, int partition, const std::string& out);

// A volume file opened for record surgery.
class volume_file_c {
public:
    explicit volume_file_c(std::string path);
    bool ok() const { return ok_; }
    uint32_t record_size() const { return record_size_; }
    // Byte offset of MFT record n in the file (the $MFT's first run must hold it).
    uint64_t record_offset(int64_t n) const;
    // Reads record n with its fixups undone, so that the bytes are the real ones.
    std::vector<uint8_t> read_record(int64_t n) const;
    // Writes record n back, redoing the fixups.
    void write_record(int64_t n, std::vector<uint8_t> record);
    // Raw access.
    void write_bytes(uint64_t offset, const void* data, size_t size);
    std::vector<uint8_t> read_bytes(uint64_t offset, size_t size) const;

private:
    std::string path_;
    bool ok_ = false;
    uint32_t cluster_size_ = 0;
    uint32_t record_size_ = 0;
    uint64_t mft_offset_ = 0;
};

// Offset inside a record of its first attribute of the given type, or 0.
size_t find_attribute(const std::vector<uint8_t>& record, uint32_t type);

}  // namespace ntfs_test

namespace ntfs_test {

// The case image of make_ntfs_cases.sh: a whole-volume NTFS image and its
// manifest lines, split on tabs.
struct cases_s {
    std::string image;
    std::vector<std::vector<std::string>> lines;
    // The first line of this kind and path, or nullptr.
    const std::vector<std::string>* find(const std::string& kind, const std::string& path) const;
};

// Builds the case image once per build tree. Returns false with "skip: ..."
// in *reason when it cannot be built here, or another reason on failure.
bool cases_fixture(cases_s* out, std::string* reason);

// The same for make_ntfs_streams.sh: deleted files with named data streams.
bool streams_fixture(cases_s* out, std::string* reason);

// The same for make_ntfs_reuse.sh: deleted files whose clusters a later file
// took, and deleted files whose clusters are free.
bool reuse_fixture(cases_s* out, std::string* reason);

// The same for make_ntfs_claims.sh: two deleted files that claim the same
// clusters, all of them free now.
bool claims_fixture(cases_s* out, std::string* reason);

// The same for make_ntfs_formatted.sh: a volume quick-formatted over its
// files; `image` with "_zeroed" before ".img" is the volume before the
// format with the first 64 MFT records zeroed.
bool formatted_fixture(cases_s* out, std::string* reason);

// The same for make_ntfs_content.sh: deleted files whose clusters are free,
// one of them written over since.
bool content_fixture(cases_s* out, std::string* reason);

}  // namespace ntfs_test

#define QUARVEL_NTFS_CONTENT(var) QUARVEL_NTFS_SCRIPT_FIXTURE(var, content_fixture)
#define QUARVEL_NTFS_FORMATTED(var) QUARVEL_NTFS_SCRIPT_FIXTURE(var, formatted_fixture)
#define QUARVEL_NTFS_CASES(var) QUARVEL_NTFS_SCRIPT_FIXTURE(var, cases_fixture)
#define QUARVEL_NTFS_STREAMS(var) QUARVEL_NTFS_SCRIPT_FIXTURE(var, streams_fixture)
#define QUARVEL_NTFS_REUSE(var) QUARVEL_NTFS_SCRIPT_FIXTURE(var, reuse_fixture)
#define QUARVEL_NTFS_CLAIMS(var) QUARVEL_NTFS_SCRIPT_FIXTURE(var, claims_fixture)
#define QUARVEL_NTFS_SCRIPT_FIXTURE(var, builder)                               \
    ::ntfs_test::cases_s var;                                                  \
    do {                                                                        \
        std::string quarvel_reason_;                                            \
        if (!::ntfs_test::builder(&var, &quarvel_reason_)) {                    \
            if (quarvel_reason_.rfind("skip:", 0) == 0)                          \
                QSKIP(quarvel_reason_.c_str());                                  \
            QFAIL(quarvel_reason_.c_str());                                      \
        }                                                                       \
    } while (0)
