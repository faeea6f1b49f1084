// A container library (libewf, libvhdi, libvmdk) loaded at run time, and an
// image opened through its handle as a byte source. The libraries come from
// one family and are driven alike: a handle is initialized, opened, measured,
// read at offsets, closed and freed, and every call may hand back an error
// object to print and free. That is done here once; a format keeps only how
// its handle is opened and what it checks before trusting it.
//
// A library is described by a struct of its own:
//
//   #define EWF_FUNCTIONS(X) X(initialize, libewf_handle_initialize) ...
//   struct ewf_library_s {
//       static constexpr const char* soname = "libewf.so.2";
//       QUARVEL_LIBRARY_FUNCTIONS(EWF_FUNCTIONS)
//   };
//
// whose list names, beside the format's own calls, the ones used here:
// initialize, close, free, media_size, read, error_sprint and error_free.
#pragma once

#include "platform/byte_source.h"

#include <cstdint>
#include <functional>
#include <string>
#include <sys/types.h>
#include <utility>

namespace platform::image_detail {

// The library's message as one line, after "cannot open FILE as a FORMAT image".
std::string one_line(const char* text);

// libewf, libvhdi and libvmdk each carry and export their own copies of the
// same helper libraries, of other versions. Linked into one program, every
// call of one of them would go to the first copy loaded. Each is loaded
// instead, once, with its symbols kept local, so that its calls bind to its
// own copies. Null with the reason in *error when it cannot be loaded.
void* load_library(const char* soname, std::string* error);
// A function of a library load_library gave (or of a library it uses).
void* library_symbol(void* library, const char* name);

// A container opened by its library, as a byte source: reads go through
// read_some (the library's read at an offset: bytes read, 0 at the end, < 0
// on a damaged part), one at a time since the libraries keep state per
// handle; close frees the handle once, when the source goes.
using container_read_f = std::function<ssize_t(void* buffer, size_t length, uint64_t offset)>;
byte_source_ptr make_container_source(uint64_t size, uint32_t sector_size, std::string name,
                                      container_read_f read_some, std::function<void()> close);

// Inside a library's struct, for LIST, an X-macro list of (member, function):
// a pointer member of the function's type for each, and bind(), which sets
// them from the library load_library gave; false when one is missing.
#define QUARVEL_LIBRARY_POINTER(member, function) decltype(&::function) member = nullptr;
#define QUARVEL_LIBRARY_BIND(member, function)                                                                    \
    member = reinterpret_cast<decltype(&::function)>(::platform::image_detail::library_symbol(library, #function)); \
    complete = complete && member != nullptr;
#define QUARVEL_LIBRARY_FUNCTIONS(LIST) \
    LIST(QUARVEL_LIBRARY_POINTER)       \
    bool bind(void* library)            \
    {                                   \
        bool complete = true;           \
        LIST(QUARVEL_LIBRARY_BIND)      \
        return complete;                \
    }

// A library's functions, and why it cannot be used (empty when it can).
template <typename library_t>
struct loaded_library_s : library_t {
    std::string error;
};

// The library, loaded on first use, once.
template <typename library_t>
const loaded_library_s<library_t>& library()
{
    static const loaded_library_s<library_t> loaded = [] {
        loaded_library_s<library_t> api;
        if (void* handle = load_library(library_t::soname, &api.error); handle && !api.bind(handle))
            api.error = std::string(library_t::soname) + " lacks a function this program calls";
        return api;
    }();
    return loaded;
}

// One image being opened through its library's handle. Each step that fails
// says why in *error, after "cannot open FILE as WHAT: ", and returns false;
// the handle is freed (closed first once it opened) on every way out but
// the byte source, which takes it over.
template <typename library_t>
class container_c {
    // The handle and error types, as initialize(&handle, &error) takes them.
    template <typename>
    struct types_s;
    template <typename handle_type, typename error_type>
    struct types_s<int (*)(handle_type**, error_type**)> {
        using handle_t = handle_type;
        using error_t = error_type;
    };

public:
    using handle_t = typename types_s<decltype(library_t::initialize)>::handle_t;
    using error_t = typename types_s<decltype(library_t::initialize)>::error_t;

    container_c(const std::string& file, const char* as_what, std::string* error)
        : file_(file), prefix_("cannot open " + file + " as " + as_what + ": "), error_(error)
    {
    }
    ~container_c()
    {
        if (err_)
            api().error_free(&err_);
        if (handle_)
            release(handle_, open_);
        if (after_)
            after_();
    }
    container_c(const container_c&) = delete;
    container_c& operator=(const container_c&) = delete;

    const loaded_library_s<library_t>& api() const { return library<library_t>(); }
    handle_t* handle() const { return handle_; }
    // Where a call of the format's own leaves the library's error object.
    error_t** err() { return &err_; }

    std::nullptr_t fail(const std::string& reason)
    {
        if (error_)
            *error_ = prefix_ + reason;
        return nullptr;
    }
    // The library's message for the last failed call, freeing it.
    std::string take_error()
    {
        char text[1024] = {};
        if (err_) {
            api().error_sprint(err_, text, sizeof text);
            api().error_free(&err_);
        }
        return one_line(text);
    }

    bool library_loaded() { return api().error.empty() || refuse(api().error); }
    bool initialize() { return api().initialize(&handle_, &err_) == 1 || refuse(take_error()); }
    // After the format's own open call returned result: what a failure
    // means, with the library's reason in brackets.
    bool opened(int result, const std::string& meaning)
    {
        open_ = result == 1;
        return open_ || refuse(meaning + " (" + take_error() + ")");
    }
    // Something to free after the handle, whichever way it goes.
    void free_after(std::function<void()> then) { after_ = std::move(then); }
    // The size of the disk inside; an empty disk is refused.
    bool measure(uint64_t* size)
    {
        *size = 0;
        if (api().media_size(handle_, size, &err_) == 1 && *size != 0)
            return true;
        return refuse(err_ ? take_error() : std::string("it holds no data"));
    }
    // The disk as a byte source. A sector size the library did not give, or
    // gave out of 512..4096 or not a power of two, is taken as 512.
    byte_source_ptr source(uint64_t size, uint32_t sector_size)
    {
        if (sector_size < 512 || sector_size > 4096 || (sector_size & (sector_size - 1)))
            sector_size = 512;
        handle_t* handle = std::exchange(handle_, nullptr);
        return make_container_source(
            size, sector_size, file_,
            [handle](void* out, size_t length, uint64_t offset) {
                return library<library_t>().read(handle, out, length, static_cast<int64_t>(offset), nullptr);
            },
            [handle, open = open_, after = std::exchange(after_, nullptr)] {
                release(handle, open);
                if (after)
                    after();
            });
    }

private:
    bool refuse(const std::string& reason)
    {
        fail(reason);
        return false;
    }
    static void release(handle_t* handle, bool open)
    {
        if (open)
            library<library_t>().close(handle, nullptr);
        library<library_t>().free(&handle, nullptr);
    }

    std::string file_;
    std::string prefix_;
    std::string* error_ = nullptr;
    handle_t* handle_ = nullptr;
    error_t* err_ = nullptr;
    bool open_ = false;
    std::function<void()> after_;
};

}  // namespace platform::image_detail
