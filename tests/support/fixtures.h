// Disk images for tests, built by tests/fixtures/make_fixture.sh with the real
// tools (sfdisk, mkfs.fat, mtools, mkntfs, ntfs-3g) and cached in the build tree.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace test_support {

// One line of a fixture's manifest: something the image holds or held.
struct manifest_entry_s {
    std::string kind;       // "volume", "file", "deleted", "dir", "deleted_dir", ...
    std::vector<std::string> fields;  // the rest of the line, split on tabs
};

struct fixture_s {
    std::string image;       // absolute path of the image
    std::string manifest;    // absolute path of its manifest
    std::vector<manifest_entry_s> entries;
};

// Builds the fixture KIND once (later calls reuse it) and returns it. When the
// builder cannot run here (tool, root or FUSE missing) returns false with the
// builder's reason in *reason; on any other failure also false.
bool fixture(const std::string& kind, fixture_s* out, std::string* reason);

// Entries of the given kind.
std::vector<manifest_entry_s> entries_of(const fixture_s& f, const std::string& kind);

// A fresh empty folder under the test's temporary area.
std::string make_temp_dir(const std::string& tag);

// SHA-256 of a file as lowercase hex, or empty when it cannot be read.
std::string sha256_of_file(const std::string& path);

// The first entry of KIND on PARTITION whose path (second field) is PATH, or
// nullptr. For the kinds file, deleted, dir, deleted_dir and overwritten.
const manifest_entry_s* find_entry(const fixture_s& f, const std::string& kind,
                                   int partition, const std::string& path);

// Entries of KIND on the given partition (first field), for the per-volume kinds.
std::vector<manifest_entry_s> entries_on(const fixture_s& f, const std::string& kind,
                                         int partition);

// The "<image>:pN" path of a fixture's partition (0: the whole image).
std::string image_volume_path(const fixture_s& f, int partition);

// Field I of an entry, or empty when the line has fewer fields.
std::string field(const manifest_entry_s& e, std::size_t i);

// Field I as a number, or -1 when missing or not a decimal number.
long long field_number(const manifest_entry_s& e, std::size_t i);

}  // namespace test_support

// Inside a Qt Test function: skip with the builder's reason when the fixture
// cannot be built on this machine, fail when it should have been.
#define QUARVEL_FIXTURE(var, kind)                                              \
    ::test_support::fixture_s var;                                             \
    do {                                                                        \
        std::string quarvel_reason_;                                            \
        if (!::test_support::fixture(kind, &var, &quarvel_reason_)) {           \
            if (quarvel_reason_.rfind("skip:", 0) == 0)                          \
                QSKIP(quarvel_reason_.c_str());                                  \
            QFAIL(quarvel_reason_.c_str());                                      \
        }                                                                       \
    } while (0)
