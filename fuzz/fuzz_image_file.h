// One scratch disk image for the fuzz targets that read a volume through
// the program's own disk layers, which open devices and image files by path.
// The file is made once per process (in /dev/shm when it can be, so nothing
// touches a real disk) and rewritten for every input, so a run costs no new
// file, descriptor or drive-table entry.
#pragma once

#include "devices/volume_item.h"

#include <QFile>
#include <QString>
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>
#include <vector>

class fuzz_image_file_c {
public:
    // Images are whole 512-byte sectors, at least one, at most this many bytes.
    static constexpr size_t max_bytes = size_t{4} << 20;

    explicit fuzz_image_file_c(const char* stem)
    {
        const char* const dirs[] = {"/dev/shm", std::getenv("TMPDIR"), "/tmp"};
        for (const char* dir : dirs) {
            if (!dir || access(dir, W_OK) != 0)
                continue;
            std::string pattern = std::string(dir) + "/" + stem + "-XXXXXX";
            std::vector<char> name(pattern.begin(), pattern.end());
            name.push_back('\0');
            fd_ = mkstemp(name.data());
            if (fd_ >= 0) {
                path_ = name.data();
                break;
            }
        }
        if (fd_ < 0) {
            std::fprintf(stderr, "cannot create a scratch image file\n");
            std::abort();
        }
        // Never empty: the drive table refuses an empty image.
        write({}, 0);
    }
    ~fuzz_image_file_c()
    {
        ::close(fd_);
        ::unlink(path_.c_str());
    }
    fuzz_image_file_c(const fuzz_image_file_c&) = delete;
    fuzz_image_file_c& operator=(const fuzz_image_file_c&) = delete;

    const std::string& path() const { return path_; }

    // Makes the file hold data, zero-padded to whole sectors and capped.
    void write(const uint8_t* data, size_t size)
    {
        size = std::min(size, max_bytes);
        const size_t padded = std::max<size_t>(512, (size + 511) / 512 * 512);
        buffer_.assign(padded, 0);
        if (size > 0)
            std::copy(data, data + size, buffer_.begin());
        if (ftruncate(fd_, static_cast<off_t>(padded)) != 0 ||
            pwrite(fd_, buffer_.data(), padded, 0) != static_cast<ssize_t>(padded)) {
            std::fprintf(stderr, "cannot write the scratch image file %s\n", path_.c_str());
            std::abort();
        }
    }

    // Lets copy write a recovered file beside the image (bounded by the
    // image's size, as every read is), then removes it. The copy's own
    // outcome is the program's business; a file left behind by a failed copy
    // is a finding.
    template <typename copy_f>
    void copy_out(const copy_f& copy)
    {
        const QString to = QString::fromStdString(path_ + ".out");
        const QByteArray name = QFile::encodeName(to);
        ::unlink(name.constData());
        if (copy(to) != 0 && ::access(name.constData(), F_OK) == 0)
            __builtin_trap();
        ::unlink(name.constData());
    }

private:
    int fd_ = -1;
    std::string path_;
    std::vector<uint8_t> buffer_;
};

// A scanner whose scan runs on the calling thread, without the catch the
// thread puts around it: an exception that gets out is a finding.
template <typename scanner_t>
class scan_here_c : public scanner_t {
public:
    // Scans volume afresh and asks for everything a front end reads after.
    void scan_here(const volume_item_s& volume)
    {
        this->reset();
        this->set_volume(volume);
        this->run_scan();
        this->failure_reason();
        this->notes();
        this->found_rows();
    }
};
