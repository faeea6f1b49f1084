// The readers that name carved files by their content: every type's reader
// over the same bytes, read as the carved file, and the name cleaned.
#include "engines/carve/content_name.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const carve::content_read_fn read = [&](uint64_t offset, void* out, size_t length) -> size_t {
        if (offset >= size)
            return 0;
        const size_t n = length < size - offset ? length : static_cast<size_t>(size - offset);
        std::memcpy(out, data + offset, n);
        return n;
    };
    for (const char* type : {"jpg", "tif", "nef", "heic", "pdf", "docx", "odt", "mp3", "mp4", "mkv", "ts", "mts", "eml", "rtf", "psd"}) {
        const carve::content_name_s found = carve::content_name(type, size, read);
        carve::clean_content_name(found.name, 200);
    }
    return 0;
}
