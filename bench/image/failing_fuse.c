/* Serves one disk image as MOUNT/disk through FUSE, failing as a dying disk
 * does: a read that touches a listed sector returns EIO, and a read inside
 * the slow zone waits first. Every read reaches this server (direct I/O),
 * so both imagers meet exactly the same medium.
 *
 * usage: failing_fuse IMAGE BAD_SECTORS_FILE SLOW_FIRST SLOW_COUNT SLOW_MS MOUNT [fuse options]
 * BAD_SECTORS_FILE: one 512-byte sector number a line. */
#define FUSE_USE_VERSION 31
#include <errno.h>
#include <fcntl.h>
#include <fuse3/fuse.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

static int image_fd = -1;
static off_t image_size;
static unsigned char* bad; /* one bit a sector */
static unsigned long long slow_first, slow_count, slow_ms;

static int bad_sector(unsigned long long s) { return (bad[s >> 3] >> (s & 7)) & 1; }

static int fs_getattr(const char* path, struct stat* st, struct fuse_file_info* fi)
{
    (void)fi;
    memset(st, 0, sizeof *st);
    if (strcmp(path, "/") == 0) {
        st->st_mode = S_IFDIR | 0755;
        st->st_nlink = 2;
        return 0;
    }
    if (strcmp(path, "/disk") != 0)
        return -ENOENT;
    st->st_mode = S_IFREG | 0444;
    st->st_nlink = 1;
    st->st_size = image_size;
    return 0;
}

static int fs_readdir(const char* path, void* buf, fuse_fill_dir_t fill, off_t off, struct fuse_file_info* fi,
                      enum fuse_readdir_flags flags)
{
    (void)off; (void)fi; (void)flags;
    if (strcmp(path, "/") != 0)
        return -ENOENT;
    fill(buf, ".", NULL, 0, 0);
    fill(buf, "..", NULL, 0, 0);
    fill(buf, "disk", NULL, 0, 0);
    return 0;
}

static int fs_open(const char* path, struct fuse_file_info* fi)
{
    if (strcmp(path, "/disk") != 0)
        return -ENOENT;
    if ((fi->flags & O_ACCMODE) != O_RDONLY)
        return -EROFS;
    fi->direct_io = 1;
    return 0;
}

static int fs_read(const char* path, char* buf, size_t size, off_t off, struct fuse_file_info* fi)
{
    (void)path; (void)fi;
    if (off >= image_size)
        return 0;
    if ((off_t)size > image_size - off)
        size = (size_t)(image_size - off);
    const unsigned long long first = (unsigned long long)off / 512, last = ((unsigned long long)off + size - 1) / 512;
    if (slow_ms && last >= slow_first && first < slow_first + slow_count) {
        struct timespec t = {(time_t)(slow_ms / 1000), (long)(slow_ms % 1000) * 1000000L};
        nanosleep(&t, NULL);
    }
    for (unsigned long long s = first; s <= last; ++s)
        if (bad_sector(s))
            return -EIO;
    const ssize_t got = pread(image_fd, buf, size, off);
    return got < 0 ? -errno : (int)got;
}

static const struct fuse_operations ops = {
    .getattr = fs_getattr, .readdir = fs_readdir, .open = fs_open, .read = fs_read,
};

int main(int argc, char** argv)
{
    if (argc < 7) {
        fprintf(stderr, "usage: %s IMAGE BAD_SECTORS SLOW_FIRST SLOW_COUNT SLOW_MS MOUNT [fuse options]\n", argv[0]);
        return 2;
    }
    image_fd = open(argv[1], O_RDONLY);
    if (image_fd < 0) {
        perror(argv[1]);
        return 1;
    }
    image_size = lseek(image_fd, 0, SEEK_END);
    bad = calloc((size_t)(image_size / 512 / 8 + 1), 1);
    FILE* list = fopen(argv[2], "r");
    if (!list || !bad) {
        perror(argv[2]);
        return 1;
    }
    unsigned long long s;
    while (fscanf(list, "%llu", &s) == 1)
        if (s < (unsigned long long)image_size / 512)
            bad[s >> 3] |= (unsigned char)(1u << (s & 7));
    fclose(list);
    slow_first = strtoull(argv[3], NULL, 10);
    slow_count = strtoull(argv[4], NULL, 10);
    slow_ms = strtoull(argv[5], NULL, 10);
    /* argv for fuse: program, mount point, options after it; single threaded
     * (a disk answers one request at a time). */
    char* fuse_argv[16] = {argv[0], argv[6], "-f", "-s"};
    int n = 4;
    for (int i = 7; i < argc && n < 15; ++i)
        fuse_argv[n++] = argv[i];
    return fuse_main(n, fuse_argv, &ops, NULL);
}
