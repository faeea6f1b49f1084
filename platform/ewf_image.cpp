// E01 and Ex01 images through libewf. The library's handle keeps a read
// position and chunk cache of its own, so every read holds the lock.
#include "platform/container_library.h"
#include "platform/image_formats.h"

#include <libewf.h>

#include <vector>

namespace platform {

namespace {

#define EWF_FUNCTIONS(X)                                                        \
    X(initialize, libewf_handle_initialize)                                     \
    X(close, libewf_handle_close)                                               \
    X(free, libewf_handle_free)                                                 \
    X(media_size, libewf_handle_get_media_size)                                 \
    X(read, libewf_handle_read_random)                                          \
    X(error_sprint, libewf_error_sprint)                                        \
    X(error_free, libewf_error_free)                                            \
    X(glob, libewf_glob)                                                        \
    X(glob_free, libewf_glob_free)                                              \
    X(open, libewf_handle_open)                                                 \
    X(bytes_per_sector, libewf_handle_get_bytes_per_sector)                     \
    X(segment_files_corrupted, libewf_handle_segment_files_corrupted)           \
    X(set_read_zero_chunk_on_error, libewf_handle_set_read_zero_chunk_on_error)

// libewf.so.2, loaded with its symbols kept to itself (container_library.h).
struct ewf_library_s {
    static constexpr const char* soname = "libewf.so.2";
    QUARVEL_LIBRARY_FUNCTIONS(EWF_FUNCTIONS)
};

}  // namespace

byte_source_ptr open_ewf_image(const std::string& file, std::string* error)
{
    image_detail::container_c<ewf_library_s> image(file, "an E01 image", error);
    if (!image.library_loaded())
        return nullptr;
    const auto& ewf = image.api();
    // The set's other segments are found by the naming scheme from the first
    // one's name; a file named otherwise is opened as a set of one.
    libewf_error_t* err = nullptr;
    char** globbed = nullptr;
    int count = 0;
    std::vector<char*> names;
    if (ewf.glob(file.c_str(), file.size(), LIBEWF_FORMAT_UNKNOWN, &globbed, &count, &err) == 1 && count > 0) {
        names.assign(globbed, globbed + count);
    } else {
        ewf.error_free(&err);
        names.push_back(const_cast<char*>(file.c_str()));
    }
    const bool opened =
        image.initialize() &&
        image.opened(ewf.open(image.handle(), names.data(), static_cast<int>(names.size()), LIBEWF_OPEN_READ, image.err()),
                     "a segment is missing or damaged");
    if (globbed)
        ewf.glob_free(globbed, count, nullptr);
    uint64_t size = 0;
    if (!opened || !image.measure(&size))
        return nullptr;
    uint32_t sector_size = 0;
    if (ewf.bytes_per_sector(image.handle(), &sector_size, image.err()) != 1)
        return image.fail(image.take_error());
    // A set with a segment missing opens; the library knows it is incomplete.
    // A damaged chunk must fail its read, not come back as zeros.
    if (ewf.segment_files_corrupted(image.handle(), nullptr) == 1 ||
        ewf.set_read_zero_chunk_on_error(image.handle(), 0, nullptr) != 1)
        return image.fail("a segment is missing or damaged");
    return image.source(size, sector_size);
}

}  // namespace platform
