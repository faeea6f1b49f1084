// E01 and Ex01 images through libewf. The library's handle keeps a read
// position and chunk cache of its own, so every read holds the lock.
#include "platform/image_formats.h"

#include <libewf.h>

#include <vector>

namespace platform {

namespace {

#define EWF_FUNCTIONS(X) \
    X(libewf_error_free) \
    X(libewf_error_sprint) \
    X(libewf_glob) \
    X(libewf_glob_free) \
    X(libewf_handle_close) \
    X(libewf_handle_free) \
    X(libewf_handle_get_bytes_per_sector) \
    X(libewf_handle_get_media_size) \
    X(libewf_handle_initialize) \
    X(libewf_handle_open) \
    X(libewf_handle_read_random) \
    X(libewf_handle_segment_files_corrupted) \
    X(libewf_handle_set_read_zero_chunk_on_error)

// libewf.so.2, loaded with its symbols kept to itself (image_formats.h).
struct ewf_api_s {
    EWF_FUNCTIONS(QUARVEL_LIBRARY_POINTER)
    std::string error;  // why it cannot be used; empty when it can
};

const ewf_api_s& ewf()
{
    static const ewf_api_s api = [] {
        ewf_api_s loaded;
        void* library = image_detail::load_library("libewf.so.2", &loaded.error);
        bool complete = library != nullptr;
        EWF_FUNCTIONS(QUARVEL_LIBRARY_BIND)
        if (library && !complete)
            loaded.error = "libewf.so.2 lacks a function this program calls";
        return loaded;
    }();
    return api;
}

std::string take_error(libewf_error_t** error)
{
    char text[1024] = {};
    if (*error) {
        ewf().libewf_error_sprint(*error, text, sizeof text);
        ewf().libewf_error_free(error);
    }
    return image_detail::one_line(text);
}

}  // namespace

byte_source_ptr open_ewf_image(const std::string& file, std::string* error)
{
    const std::string prefix = "cannot open " + file + " as an E01 image: ";
    if (!ewf().error.empty()) {
        if (error)
            *error = prefix + ewf().error;
        return nullptr;
    }
    libewf_error_t* err = nullptr;
    // The set's other segments are found by the naming scheme from the first
    // one's name; a file named otherwise is opened as a set of one.
    char** globbed = nullptr;
    int count = 0;
    std::vector<char*> names;
    if (ewf().libewf_glob(file.c_str(), file.size(), LIBEWF_FORMAT_UNKNOWN, &globbed, &count, &err) == 1 && count > 0) {
        names.assign(globbed, globbed + count);
    } else {
        ewf().libewf_error_free(&err);
        names.push_back(const_cast<char*>(file.c_str()));
    }
    libewf_handle_t* handle = nullptr;
    std::string reason;
    if (ewf().libewf_handle_initialize(&handle, &err) != 1) {
        reason = take_error(&err);
    } else if (ewf().libewf_handle_open(handle, names.data(), static_cast<int>(names.size()), LIBEWF_OPEN_READ, &err) != 1) {
        reason = "a segment is missing or damaged (" + take_error(&err) + ")";
        ewf().libewf_handle_free(&handle, nullptr);
    }
    if (globbed)
        ewf().libewf_glob_free(globbed, count, nullptr);
    if (!handle) {
        if (error)
            *error = prefix + reason;
        return nullptr;
    }
    size64_t size = 0;
    uint32_t sector_size = 0;
    if (ewf().libewf_handle_get_media_size(handle, &size, &err) != 1 ||
        ewf().libewf_handle_get_bytes_per_sector(handle, &sector_size, &err) != 1 || size == 0) {
        reason = err ? take_error(&err) : std::string("it holds no data");
        ewf().libewf_handle_close(handle, nullptr);
        ewf().libewf_handle_free(&handle, nullptr);
        if (error)
            *error = prefix + reason;
        return nullptr;
    }
    // A set with a segment missing opens; the library knows it is incomplete.
    // A damaged chunk must fail its read, not come back as zeros.
    if (ewf().libewf_handle_segment_files_corrupted(handle, nullptr) == 1 ||
        ewf().libewf_handle_set_read_zero_chunk_on_error(handle, 0, nullptr) != 1) {
        ewf().libewf_handle_close(handle, nullptr);
        ewf().libewf_handle_free(&handle, nullptr);
        if (error)
            *error = prefix + "a segment is missing or damaged";
        return nullptr;
    }
    if (sector_size < 512 || sector_size > 4096 || (sector_size & (sector_size - 1)))
        sector_size = 512;
    return image_detail::make_container_source(
        size, sector_size, file,
        [handle](void* out, size_t length, uint64_t offset) {
            return ewf().libewf_handle_read_random(handle, out, length, static_cast<off64_t>(offset), nullptr);
        },
        [handle]() mutable {
            ewf().libewf_handle_close(handle, nullptr);
            ewf().libewf_handle_free(&handle, nullptr);
        });
}

}  // namespace platform
