// A VMDK descriptor, or a sparse extent with one inside, on any bytes: the
// input is the file, alone in a folder of its own, opened as a VMDK disk.
// Extent names that would leave the folder are refused before libvmdk reads
// the descriptor; whatever opens is read at its start and its end.
#include "platform/image_formats.h"

#include <cstdint>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <string>
#include <unistd.h>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const std::string file = [] {
        std::string dir = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
        dir += "/quarvel-fuzz-vmdk-" + std::to_string(getpid());
        mkdir(dir.c_str(), 0700);
        return dir + "/disk.vmdk";
    }();
    // Each input is a new file in the run's private folder.
    ::unlink(file.c_str());
    const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0)
        return 0;
    const bool written = ::write(fd, data, size) == static_cast<ssize_t>(size);
    ::close(fd);
    if (!written)
        return 0;
    std::string error;
    const platform::byte_source_ptr disk = platform::open_vmdk_image(file, &error);
    if (disk && disk->size() > 0) {
        std::vector<uint8_t> sector(512);
        disk->read_at(0, sector.data(), sector.size());
        disk->read_at(disk->size() - 1, sector.data(), 1);
    }
    return 0;
}
