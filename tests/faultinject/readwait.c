/* Benchmarks only, built natively and preloaded into Wine: a device where every read request waits, and a count.
 *
 * Every read or pread of a file under TAVIK_READ_WAIT_DIR (a Linux path) first waits TAVIK_READ_WAIT_MS
 * milliseconds, as a request to a share, a USB disk or a cloud folder does; reads on several threads wait at once,
 * as they do on such a device. TAVIK_READ_COUNT, when set, names a file whose first 8 bytes count those reads
 * across every process that shares it. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

static ssize_t (*real_read)(int, void *, size_t);
static ssize_t (*real_pread)(int, void *, size_t, off_t);
static const char *g_dir;
static size_t g_dir_len;
static long g_wait_ms;
static volatile uint64_t *g_count;

__attribute__((constructor)) static void init(void)
{
    real_read = (ssize_t(*)(int, void *, size_t))dlsym(RTLD_NEXT, "read");
    real_pread = (ssize_t(*)(int, void *, size_t, off_t))dlsym(RTLD_NEXT, "pread");
    g_dir = getenv("TAVIK_READ_WAIT_DIR");
    g_dir_len = g_dir ? strlen(g_dir) : 0;
    g_wait_ms = getenv("TAVIK_READ_WAIT_MS") ? atol(getenv("TAVIK_READ_WAIT_MS")) : 0;
    const char *count = getenv("TAVIK_READ_COUNT");
    int fd = count ? open(count, O_RDWR | O_CREAT, 0644) : -1;
    if (fd >= 0 && ftruncate(fd, 8) == 0) {
        void *p = mmap(NULL, 8, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        if (p != MAP_FAILED)
            g_count = (volatile uint64_t *)p;
    }
    if (fd >= 0)
        close(fd);
}

static void before_read(int fd)
{
    if (!g_dir_len)
        return;
    char link[64], path[4096];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    ssize_t n = readlink(link, path, sizeof path - 1);
    if (n < (ssize_t)g_dir_len || strncmp(path, g_dir, g_dir_len) != 0)
        return;
    if (g_count)
        __atomic_add_fetch(g_count, 1, __ATOMIC_RELAXED);
    if (g_wait_ms > 0)
        usleep((useconds_t)(g_wait_ms * 1000));
}

ssize_t read(int fd, void *buf, size_t n)
{
    before_read(fd);
    return real_read(fd, buf, n);
}

ssize_t pread(int fd, void *buf, size_t n, off_t offset)
{
    before_read(fd);
    return real_pread(fd, buf, n, offset);
}

ssize_t pread64(int fd, void *buf, size_t n, off64_t offset)
{
    before_read(fd);
    return real_pread(fd, buf, n, (off_t)offset);
}
