#include "platform/device_access.h"

#include <cerrno>
#include <cstring>
#include <sys/socket.h>
#include <unistd.h>

namespace platform {

bool send_descriptor(int socket, int fd)
{
    char byte = 'F';
    iovec io {&byte, 1};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] {};
    msghdr message {};
    message.msg_iov = &io;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    cmsghdr* header = CMSG_FIRSTHDR(&message);
    header->cmsg_level = SOL_SOCKET;
    header->cmsg_type = SCM_RIGHTS;
    header->cmsg_len = CMSG_LEN(sizeof(int));
    std::memcpy(CMSG_DATA(header), &fd, sizeof fd);
    for (;;) {
        const ssize_t n = ::sendmsg(socket, &message, MSG_NOSIGNAL);
        if (n == 1)
            return true;
        if (n < 0 && errno == EINTR)
            continue;
        return false;
    }
}

int receive_descriptor(int socket)
{
    char byte = 0;
    iovec io {&byte, 1};
    // Room for more than one, so that extra descriptors are seen and closed
    // rather than cut off with MSG_CTRUNC and leaked.
    alignas(cmsghdr) char control[CMSG_SPACE(4 * sizeof(int))] {};
    msghdr message {};
    message.msg_iov = &io;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    ssize_t n;
    do {
        n = ::recvmsg(socket, &message, MSG_CMSG_CLOEXEC);
    } while (n < 0 && errno == EINTR);
    if (n != 1)
        return -1;
    int result = -1;
    for (cmsghdr* header = CMSG_FIRSTHDR(&message); header; header = CMSG_NXTHDR(&message, header)) {
        if (header->cmsg_level != SOL_SOCKET || header->cmsg_type != SCM_RIGHTS || header->cmsg_len < CMSG_LEN(0))
            continue;
        const size_t count = (header->cmsg_len - CMSG_LEN(0)) / sizeof(int);
        for (size_t i = 0; i < count; ++i) {
            int fd = -1;
            std::memcpy(&fd, CMSG_DATA(header) + i * sizeof(int), sizeof fd);
            if (result < 0)
                result = fd;
            else
                ::close(fd);
        }
    }
    if (message.msg_flags & MSG_CTRUNC) {
        if (result >= 0)
            ::close(result);
        return -1;
    }
    return result;
}

}  // namespace platform
