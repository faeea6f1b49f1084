// VMDK virtual disks through libvmdk: a sparse disk with its descriptor
// inside, or a descriptor file naming its extents beside it. The library's
// handle is not safe across threads, so every read holds the lock.
//
// The descriptor is read here first and the extent files are opened here,
// not by the library: a name in it must be a plain file name beside the
// descriptor, and a single-file disk is itself its extent, whatever it is
// called now (the library would look for the name it was made under).
#include "platform/container_library.h"
#include "platform/image_formats.h"

#include "ondisk/byte_order.h"

#include <libbfio.h>
#include <libvmdk.h>

#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace platform {

namespace {

#define VMDK_FUNCTIONS(X)                                               \
    X(initialize, libvmdk_handle_initialize)                            \
    X(close, libvmdk_handle_close)                                      \
    X(free, libvmdk_handle_free)                                        \
    X(media_size, libvmdk_handle_get_media_size)                        \
    X(read, libvmdk_handle_read_buffer_at_offset)                       \
    X(error_sprint, libvmdk_error_sprint)                               \
    X(error_free, libvmdk_error_free)                                   \
    X(open, libvmdk_handle_open)                                        \
    X(open_extents, libvmdk_handle_open_extent_data_files_file_io_pool) \
    X(file_initialize, libbfio_file_initialize)                         \
    X(file_set_name, libbfio_file_set_name)                             \
    X(file_free, libbfio_handle_free)                                   \
    X(pool_initialize, libbfio_pool_initialize)                         \
    X(pool_append, libbfio_pool_append_handle)                          \
    X(pool_free, libbfio_pool_free)

// libvmdk.so.1, loaded with its symbols kept to itself (container_library.h).
struct vmdk_library_s {
    static constexpr const char* soname = "libvmdk.so.1";
    QUARVEL_LIBRARY_FUNCTIONS(VMDK_FUNCTIONS)
};

const image_detail::loaded_library_s<vmdk_library_s>& vmdk() { return image_detail::library<vmdk_library_s>(); }

using platform::le32;
using platform::le64;

// A sparse extent's grain directory and tables, where its grains lie.
namespace sparse {
inline constexpr size_t capacity = 12;          // u64, sectors
inline constexpr size_t grain_size = 20;        // u64, sectors
inline constexpr size_t descriptor_at = 28;     // u64, sector
inline constexpr size_t descriptor_size = 36;   // u64, sectors
inline constexpr size_t entries_per_table = 44; // u32
inline constexpr size_t directory_at = 56;      // u64, sector; all ones: at the end (streamed)
}  // namespace sparse

// Whether every table and grain a monolithic sparse file points at lies
// inside the file. libvmdk reads a grain past the end of a file cut short as
// zeros, so a lost tail would pass for an empty disk area.
bool sparse_extent_complete(const std::string& file)
{
    std::ifstream in(file, std::ios::binary | std::ios::ate);
    const uint64_t file_size = uint64_t(std::max<std::streamoff>(0, in.tellg()));
    auto read = [&](uint64_t offset, std::vector<uint8_t>& out) {
        in.seekg(std::streamoff(offset));
        in.read(reinterpret_cast<char*>(out.data()), std::streamsize(out.size()));
        return in.gcount() == std::streamsize(out.size());
    };
    std::vector<uint8_t> header(512);
    if (!read(0, header) || std::memcmp(header.data(), "KDMV", 4) != 0)
        return true;  // not a sparse extent: nothing of ours to check
    const uint64_t capacity = le64(header.data() + sparse::capacity);
    const uint64_t grain = le64(header.data() + sparse::grain_size);
    const uint32_t per_table = le32(header.data() + sparse::entries_per_table);
    const uint64_t directory = le64(header.data() + sparse::directory_at);
    if (directory == ~uint64_t{0})
        return true;  // streamed: its tables are in a footer libvmdk checks
    if (grain == 0 || grain > 1u << 16 || per_table == 0 || per_table > 1u << 16 || capacity == 0)
        return false;
    const uint64_t tables = (capacity / grain + per_table - 1) / per_table;
    if (tables > (uint64_t{1} << 22) || directory > file_size / 512)
        return false;
    std::vector<uint8_t> dir(size_t(tables) * 4), table(size_t(per_table) * 4);
    if (!read(directory * 512, dir))
        return false;
    for (uint64_t t = 0; t < tables; ++t) {
        const uint64_t table_at = le32(dir.data() + t * 4);
        if (table_at == 0)
            continue;
        if (table_at * 512 + table.size() > file_size || !read(table_at * 512, table))
            return false;
        for (uint32_t e = 0; e < per_table; ++e) {
            const uint64_t grain_at = le32(table.data() + size_t(e) * 4);
            if (grain_at > 1 && (grain_at + grain) * 512 > file_size)  // 1: a grain of zeros
                return false;
        }
    }
    return true;
}

// Descriptors are a few hundred bytes; a bigger one is no descriptor.
constexpr uint64_t largest_descriptor = 1 << 20;

// The descriptor's text: the file itself, or the one inside a sparse
// extent. *embedded tells which. False, with the reason, when it cannot be
// read; a sparse extent without one (an older ESX disk) has empty text.
bool read_descriptor(const std::string& file, std::string* text, bool* embedded, std::string* why)
{
    std::ifstream in(file, std::ios::binary);
    uint8_t header[512] = {};
    in.read(reinterpret_cast<char*>(header), sizeof header);
    const auto got = static_cast<size_t>(in.gcount());
    *embedded = got >= 4 && (std::memcmp(header, "KDMV", 4) == 0 || std::memcmp(header, "COWD", 4) == 0);
    uint64_t at = 0;
    uint64_t length = 0;
    if (*embedded) {
        if (std::memcmp(header, "COWD", 4) == 0 || got < sizeof header)
            return true;
        const uint64_t sector = le64(header + sparse::descriptor_at);
        const uint64_t sectors = le64(header + sparse::descriptor_size);
        if (sector == 0 || sectors == 0)
            return true;
        if (sectors > largest_descriptor / 512 || sector > (uint64_t{1} << 40)) {
            *why = "its descriptor lies outside the file or is too large";
            return false;
        }
        at = sector * 512;
        length = sectors * 512;
    } else {
        in.clear();
        in.seekg(0, std::ios::end);
        length = static_cast<uint64_t>(std::max<std::streamoff>(0, in.tellg()));
        if (length > largest_descriptor) {
            *why = "its descriptor is too large";
            return false;
        }
    }
    text->assign(static_cast<size_t>(length), '\0');
    in.clear();
    in.seekg(static_cast<std::streamoff>(at));
    in.read(text->data(), static_cast<std::streamsize>(length));
    if (static_cast<uint64_t>(in.gcount()) != length) {
        *why = "its descriptor is cut short";
        return false;
    }
    text->resize(strnlen(text->data(), text->size()));
    return true;
}

// Why an extent name from a descriptor is not a plain file name beside it.
std::string extent_name_refusal(const std::string& name)
{
    if (name.empty())
        return "an extent has no file name";
    if (name == "." || name == ".." || name.find('/') != std::string::npos || name.find('\\') != std::string::npos)
        return "the extent name \"" + name + "\" is not a file name in the descriptor's folder";
    for (const char c : name)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f)
            return "an extent name holds a control character";
    return {};
}

// The file names of the descriptor's extents, in order ("" for an extent
// stored nowhere, a ZERO extent). False, with the reason, when a name is
// not a plain name beside the descriptor.
bool extent_names(const std::string& text, std::vector<std::string>* names, std::string* why)
{
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        std::istringstream words(line);
        std::string access, sectors, type;
        if (!(words >> access >> sectors >> type) || (access != "RW" && access != "RDONLY" && access != "NOACCESS"))
            continue;
        const size_t open_quote = line.find('"');
        if (open_quote == std::string::npos) {
            if (type != "ZERO") {
                *why = "an extent of its descriptor names no file";
                return false;
            }
            names->emplace_back();
            continue;
        }
        const size_t close_quote = line.find('"', open_quote + 1);
        if (close_quote == std::string::npos) {
            *why = "an extent name in its descriptor is not closed";
            return false;
        }
        std::string name = line.substr(open_quote + 1, close_quote - open_quote - 1);
        if (std::string refusal = extent_name_refusal(name); !refusal.empty()) {
            *why = refusal;
            return false;
        }
        names->push_back(std::move(name));
    }
    return true;
}

// A pool of the extent files, in descriptor order: the named files in the
// descriptor's folder, each a regular file reached without a link; for a
// disk whose descriptor lies inside it, the file itself.
libbfio_pool_t* open_extent_pool(const std::string& file, bool embedded, const std::vector<std::string>& names,
                                 std::string* why)
{
    const size_t slash = file.find_last_of('/');
    const std::string folder = slash == std::string::npos ? std::string(".") : file.substr(0, slash);
    std::vector<std::string> paths;
    if (embedded && names.size() <= 1) {
        paths.push_back(file);
    } else {
        for (const std::string& name : names) {
            if (name.empty()) {
                *why = "a descriptor with an extent stored nowhere (ZERO) is not supported";
                return nullptr;
            }
            const std::string path = folder + "/" + name;
            const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
            struct stat st {};
            const bool regular = fd >= 0 && ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
            if (fd >= 0)
                ::close(fd);
            if (!regular) {
                *why = "the extent file " + name + " is missing beside it, or is a link or no regular file";
                return nullptr;
            }
            paths.push_back(path);
        }
    }
    if (paths.empty()) {
        *why = "its descriptor names no extent";
        return nullptr;
    }
    libbfio_pool_t* pool = nullptr;
    if (vmdk().pool_initialize(&pool, 0, LIBBFIO_POOL_UNLIMITED_NUMBER_OF_OPEN_HANDLES, nullptr) != 1) {
        *why = "out of memory";
        return nullptr;
    }
    for (const std::string& path : paths) {
        libbfio_handle_t* handle = nullptr;
        int entry = 0;
        if (vmdk().file_initialize(&handle, nullptr) != 1 ||
            vmdk().file_set_name(handle, path.c_str(), path.size(), nullptr) != 1 ||
            vmdk().pool_append(pool, &entry, handle, LIBBFIO_OPEN_READ, nullptr) != 1) {
            if (handle)
                vmdk().file_free(&handle, nullptr);
            vmdk().pool_free(&pool, nullptr);
            *why = "the extent file " + path + " cannot be opened";
            return nullptr;
        }
    }
    return pool;
}

}  // namespace

byte_source_ptr open_vmdk_image(const std::string& file, std::string* error)
{
    image_detail::container_c<vmdk_library_s> image(file, "a VMDK disk", error);
    if (!image.library_loaded())
        return nullptr;
    std::string text, why;
    bool embedded = false;
    std::vector<std::string> names;
    if (!read_descriptor(file, &text, &embedded, &why) || !extent_names(text, &names, &why))
        return image.fail(why);
    libbfio_pool_t* extents = open_extent_pool(file, embedded, names, &why);
    if (!extents)
        return image.fail(why);
    // The library reads its extents through our pool, freed after the handle.
    image.free_after([extents]() mutable { vmdk().pool_free(&extents, nullptr); });
    if (!image.initialize() ||
        !image.opened(vmdk().open(image.handle(), file.c_str(), LIBVMDK_OPEN_READ, image.err()),
                      "it is damaged or cut short"))
        return nullptr;
    if (vmdk().open_extents(image.handle(), extents, image.err()) != 1)
        return image.fail("an extent file is damaged (" + image.take_error() + ")");
    if (!sparse_extent_complete(file))
        return image.fail("it is cut short or damaged (its grain tables point past the end of the file)");
    uint64_t size = 0;
    if (!image.measure(&size))
        return nullptr;
    return image.source(size, 512);  // the format has no other sector size
}

}  // namespace platform
