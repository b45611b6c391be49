/* Test harness only, built natively and preloaded into Wine: injects real read and listing faults below Win32.
 *
 * Wine's ntdll reads files with libc read/pread, so faults injected here look to the Windows program exactly
 * like faults of the device. Rules come from the text file named by TAVIK_FAULT_RULES, reread whenever it
 * changes, one rule per line, each naming a file or folder by its Linux path (matched by device and inode):
 *   eio    PATH FROM_OFFSET           reads that reach FROM_OFFSET, or start past it, fail with EIO (Wine:
 *                                     ERROR_NOT_READY): a bad sector fails every read that covers it
 *   align  PATH SECTOR                reads whose offset, length or buffer are not SECTOR multiples fail with
 *                                     EINVAL (Wine: ERROR_INVALID_PARAMETER), as unbuffered reads do on Windows
 *   unbuffered PATH SECTOR            the same, but only for the first descriptor that reads the file in a
 *                                     process: Wine ignores FILE_FLAG_NO_BUFFERING, so only the order of the opens
 *                                     tells the unbuffered handle from a buffered one opened after it. For files
 *                                     the program opens unbuffered first.
 *   unbuffered-fail PATH ERRNO        every read of the first descriptor that reads the file in a process fails
 *                                     with ERRNO, whatever its alignment: an unbuffered handle that meets a device
 *                                     error (EIO: Wine ERROR_NOT_READY) where the cache may still hold good pages
 *   short  PATH AT_OFFSET             once, the read that spans AT_OFFSET returns only the bytes before it, and
 *                                     the read after it nothing: Wine then ends the ReadFile short of the end of
 *                                     the file, as a redirector may
 *   resize PATH AT_OFFSET NEW_SIZE    once, before the first read at or past AT_OFFSET, truncate or extend
 *                                     the file to NEW_SIZE: a file that changes length while it is read
 *   stall  PATH SECONDS [FROM_OFFSET] every read at or past FROM_OFFSET (0 if not given) blocks for SECONDS
 *                                     first: a sleeping disk, a stalled share, a sector the drive retries. Wine's
 *                                     GetFileType reads a file's first bytes, so a stall from 0 holds the open of a program that asks it.
 *   noid   DIR VALUE                  every file and folder at or under DIR gets the inode VALUE (0, or -1 for all
 *                                     ones) when its descriptor is asked: a volume without file IDs, in the
 *                                     program only (the Wine server keeps its own)
 *   hold   PATH FROM_OFFSET           every read at or past FROM_OFFSET blocks for as long as the rule stands, and
 *                                     goes on once the rules file no longer holds it: a test does what it must
 *                                     while a read is surely under way, then lets the read go on
 *   listfail DIR QUERIES              the folder's first QUERIES listing queries in a process succeed, every later
 *                                     one fails with EIO: a listing that breaks off half-way, as a share's can
 *   openhold DIR                      the first lookup of the folder's path in a Tavik program (the one its open
 *                                     makes) blocks for as long as the rule stands: a share that stops answering
 *                                     as a folder is opened. A held listing query would hold every other listing of
 *                                     the process too, as Wine lists folders under a lock of its own; this does not.
 *   writehold PATH                    in a Tavik program, every write to the file PATH, or to a file directly in the
 *                                     folder PATH, blocks for as long as the rule stands: an output file's share that
 *                                     stops answering, or a program surely writing that file when a test kills it.
 *                                     The first write held is logged, as "PATH fd=N write held".
 * Wine 8 reads a whole folder with readdir on its first NtQueryDirectoryFile and hands the entries out from a
 * cache, one buffer per query; a failing readdir only cuts the list short, reported as complete. What fails a
 * query is the fchdir into the folder that each query starts with, so listfail counts those (a relative open
 * under a folder handle would count too; the programs tested make none).
 * TAVIK_FAULT_LOG, when set, names a file that gets one line per read or query that has a rule, named by the
 * rule's path, and one more when a stalled read goes on: a test tells from their order what happened meanwhile. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <limits.h>
#include <pthread.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

enum { RULE_EIO, RULE_ALIGN, RULE_UNBUFFERED, RULE_UNBUFFERED_FAIL, RULE_SHORT, RULE_RESIZE, RULE_STALL, RULE_HOLD, RULE_LISTFAIL, RULE_OPENHOLD, RULE_NOID, RULE_WRITEHOLD };

struct rule {
    int kind;
    dev_t dev;
    ino_t ino;
    char path[1024];
    long long a, b;
    int fired;
    int first_fd;     /* unbuffered: the descriptor that read the file first, or -1 */
    long long count;  /* listfail: queries so far */
};

/* Wine completes a short read of a regular file with a second read that starts where the first ended, into the
 * rest of the same buffer. Windows does that inside one ReadFile, so that read must not count as unaligned. */
struct continuation {
    int fd;
    off_t offset;
    const char *buf;
};

static pthread_mutex_t g_lock = PTHREAD_MUTEX_INITIALIZER;
#define MAX_RULES 256
static struct rule g_rules[MAX_RULES];
static int g_nrules;
static long long g_mtime_sec, g_mtime_nsec;
static off_t g_size = -1;
static struct continuation g_cont[16];

static ssize_t (*real_read)(int, void *, size_t);
static ssize_t (*real_pread)(int, void *, size_t, off_t);
static int (*real_fchdir)(int);

static int (*real_fstat)(int, struct stat *);

static int real_fstat_of(int fd, struct stat *st)
{
    if (!real_fstat)
        real_fstat = (int (*)(int, struct stat *))dlsym(RTLD_NEXT, "fstat");
    return real_fstat(fd, st);
}

static int (*real_stat)(const char *, struct stat *);

/* The injector's own lookups: never through its stat, which may hold. */
static int real_stat_of(const char *path, struct stat *st)
{
    if (!real_stat)
        real_stat = (int (*)(const char *, struct stat *))dlsym(RTLD_NEXT, "stat");
    return real_stat(path, st);
}

static void reload_rules(const char *rules_path)
{
    struct stat st;
    if (real_stat_of(rules_path, &st) != 0) {
        g_nrules = 0;
        g_size = -1;
        return;
    }
    if (st.st_size == g_size && st.st_mtim.tv_sec == g_mtime_sec && st.st_mtim.tv_nsec == g_mtime_nsec)
        return;
    g_size = st.st_size;
    g_mtime_sec = st.st_mtim.tv_sec;
    g_mtime_nsec = st.st_mtim.tv_nsec;
    g_nrules = 0;
    FILE *f = fopen(rules_path, "r");
    if (!f)
        return;
    char kind[16], path[1024];
    long long a, b;
    char line[2100];
    while (fgets(line, sizeof line, f) && g_nrules < MAX_RULES) {
        a = b = 0;
        int n = sscanf(line, "%15s %1023s %lld %lld", kind, path, &a, &b);
        if (n < 3 && !(n == 2 && (!strcmp(kind, "openhold") || !strcmp(kind, "writehold"))))
            continue;
        struct rule *r = &g_rules[g_nrules];
        if (!strcmp(kind, "eio"))
            r->kind = RULE_EIO;
        else if (!strcmp(kind, "align") && a > 0)
            r->kind = RULE_ALIGN;
        else if (!strcmp(kind, "unbuffered") && a > 0)
            r->kind = RULE_UNBUFFERED;
        else if (!strcmp(kind, "unbuffered-fail") && a > 0)
            r->kind = RULE_UNBUFFERED_FAIL;
        else if (!strcmp(kind, "short") && a > 0)
            r->kind = RULE_SHORT;
        else if (!strcmp(kind, "resize") && n == 4)
            r->kind = RULE_RESIZE;
        else if (!strcmp(kind, "stall") && a > 0)
            r->kind = RULE_STALL;
        else if (!strcmp(kind, "noid"))
            r->kind = RULE_NOID;
        else if (!strcmp(kind, "hold") && a >= 0)
            r->kind = RULE_HOLD;
        else if (!strcmp(kind, "listfail") && a >= 0)
            r->kind = RULE_LISTFAIL;
        else if (!strcmp(kind, "openhold"))
            r->kind = RULE_OPENHOLD;
        else if (!strcmp(kind, "writehold"))
            r->kind = RULE_WRITEHOLD;
        else
            continue;
        struct stat target;
        if (real_stat_of(path, &target) != 0)
            continue;
        r->dev = target.st_dev;
        r->ino = target.st_ino;
        /* noid compares paths with what the descriptors name, which are resolved: so is the rule's */
        char resolved[PATH_MAX];
        const char *named = r->kind == RULE_NOID && realpath(path, resolved) ? resolved : path;
        if (strlen(named) >= sizeof r->path)
            continue;
        memcpy(r->path, named, strlen(named) + 1);
        r->a = a;
        r->b = b;
        r->fired = 0;
        r->first_fd = -1;
        r->count = 0;
        ++g_nrules;
    }
    fclose(f);
}

static void log_line(const char *format, ...) __attribute__((format(printf, 1, 2)));

/* Set while the injector writes its log, whose writes must not meet its own write rules (and their lock). */
static __thread int t_logging;

static void log_line(const char *format, ...)
{
    const char *log_path = getenv("TAVIK_FAULT_LOG");
    if (!log_path)
        return;
    t_logging = 1;
    FILE *f = fopen(log_path, "a");
    if (f) {
        va_list args;
        va_start(args, format);
        vfprintf(f, format, args);
        va_end(args);
        fclose(f);
    }
    t_logging = 0;
}

static struct continuation *find_continuation(int fd)
{
    for (int i = 0; i < 16; ++i)
        if (g_cont[i].fd == fd && g_cont[i].buf)
            return &g_cont[i];
    return NULL;
}

/* Returns 0 to let the read go ahead (with *aligned_rule telling whether to track continuations, *stall_seconds
 * how long to block first), or an errno. A file that has a rule gets its path in path, else path is empty. */
static int check_read(int fd, const void *buf, size_t *n_io, off_t offset, int *aligned_rule, unsigned *stall_seconds,
                      char path[1024])
{
    const size_t n = *n_io;
    path[0] = 0;
    *aligned_rule = 0;
    *stall_seconds = 0;
    const char *rules_path = getenv("TAVIK_FAULT_RULES");
    if (!rules_path)
        return 0;
    struct stat st;
    if (real_fstat_of(fd, &st) != 0 || !S_ISREG(st.st_mode))
        return 0;
    int err = 0, matched = 0;
    pthread_mutex_lock(&g_lock);
    reload_rules(rules_path);
    for (int i = 0; i < g_nrules && !err; ++i) {
        struct rule *r = &g_rules[i];
        if (r->dev != st.st_dev || r->ino != st.st_ino)
            continue;
        if (!matched)
            snprintf(path, 1024, "%s", r->path);
        matched = 1;
        switch (r->kind) {
        case RULE_EIO:
            if (offset >= r->a || (offset + (off_t)n > r->a && r->a < st.st_size))
                err = EIO;
            break;
        case RULE_RESIZE:
            if (!r->fired && offset >= r->a) {
                r->fired = 1;
                if (truncate(r->path, (off_t)r->b) != 0)
                    err = errno;
            }
            break;
        case RULE_UNBUFFERED_FAIL:
            if (r->first_fd < 0)
                r->first_fd = fd;
            if (r->first_fd == fd)
                err = (int)r->a;
            break;
        case RULE_SHORT:
            /* fired: 1 once the bytes before the offset were handed out, 2 once the empty read followed */
            if (r->fired == 0 && offset < r->a && offset + (off_t)n > r->a) {
                *n_io = (size_t)(r->a - offset);
                r->fired = 1;
            } else if (r->fired == 1 && offset == r->a) {
                *n_io = 0;
                r->fired = 2;
            }
            break;
        case RULE_STALL:
            if (offset >= r->b)
                *stall_seconds = (unsigned)r->a;
            break;
        case RULE_UNBUFFERED:
            if (r->first_fd < 0)
                r->first_fd = fd;
            if (r->first_fd != fd)
                break;
            /* fall through */
        case RULE_ALIGN: {
            *aligned_rule = 1;
            struct continuation *c = find_continuation(fd);
            int is_continuation = c && c->offset == offset && c->buf == buf;
            if (c)
                c->buf = NULL;
            if (!is_continuation && (offset % r->a || n % r->a || (uintptr_t)buf % r->a))
                err = EINVAL;
            break;
        }
        case RULE_HOLD:
        case RULE_LISTFAIL:
        case RULE_NOID:
        case RULE_WRITEHOLD:
            break;
        }
    }
    if (matched)
        log_line("%s fd=%d offset=%lld length=%zu buf=%p %s\n", path, fd, (long long)offset, n, buf, err ? strerror(err) : "ok");
    pthread_mutex_unlock(&g_lock);
    return err;
}

static void note_result(int fd, const void *buf, size_t n, off_t offset, ssize_t got)
{
    if (got <= 0 || (size_t)got >= n)
        return;
    pthread_mutex_lock(&g_lock);
    struct continuation *c = find_continuation(fd);
    for (int i = 0; !c && i < 16; ++i)
        if (!g_cont[i].buf)
            c = &g_cont[i];
    if (c) {
        c->fd = fd;
        c->offset = offset + got;
        c->buf = (const char *)buf + got;
    }
    pthread_mutex_unlock(&g_lock);
}

/* Whether a hold rule stands for this read: the rules file is read anew, so a test ends the hold by changing it. */
static int held(int fd, off_t offset)
{
    const char *rules_path = getenv("TAVIK_FAULT_RULES");
    struct stat st;
    if (!rules_path || real_fstat_of(fd, &st) != 0 || !S_ISREG(st.st_mode))
        return 0;
    int hold = 0;
    pthread_mutex_lock(&g_lock);
    reload_rules(rules_path);
    for (int i = 0; i < g_nrules && !hold; ++i)
        hold = g_rules[i].kind == RULE_HOLD && g_rules[i].dev == st.st_dev && g_rules[i].ino == st.st_ino &&
               offset >= g_rules[i].a;
    pthread_mutex_unlock(&g_lock);
    return hold;
}

/* One path for all three entry points: check the rules, then make the real call (positional or not). */
static ssize_t guarded_read(int fd, void *buf, size_t n, off_t offset, int positional)
{
    if (!real_read) {
        real_read = (ssize_t(*)(int, void *, size_t))dlsym(RTLD_NEXT, "read");
        real_pread = (ssize_t(*)(int, void *, size_t, off_t))dlsym(RTLD_NEXT, "pread");
    }
    if (!getenv("TAVIK_FAULT_RULES"))
        return positional ? real_pread(fd, buf, n, offset) : real_read(fd, buf, n);
    if (!positional)
        offset = lseek(fd, 0, SEEK_CUR);
    /* Outside the lock, so other files' reads go on meanwhile; a poll, as nothing tells when the file changes. */
    while (held(fd, offset))
        usleep(10000);
    int aligned_rule;
    unsigned stall_seconds;
    char path[1024];
    int err = check_read(fd, buf, &n, offset, &aligned_rule, &stall_seconds, path);
    /* Outside the lock, so other files' reads go on meanwhile. */
    if (stall_seconds) {
        sleep(stall_seconds);
        pthread_mutex_lock(&g_lock);
        log_line("%s fd=%d offset=%lld length=%zu buf=%p stall ended\n", path, fd, (long long)offset, n, buf);
        pthread_mutex_unlock(&g_lock);
    }
    if (err) {
        errno = err;
        return -1;
    }
    if (n == 0)
        return 0;
    ssize_t got = positional ? real_pread(fd, buf, n, offset) : real_read(fd, buf, n);
    if (aligned_rule)
        note_result(fd, buf, n, offset, got);
    return got;
}

ssize_t read(int fd, void *buf, size_t n)
{
    return guarded_read(fd, buf, n, 0, 0);
}

ssize_t pread(int fd, void *buf, size_t n, off_t offset)
{
    return guarded_read(fd, buf, n, offset, 1);
}

/* off_t is 64 bits on the 64-bit systems Wine64 runs on, so pread serves both names. */
ssize_t pread64(int fd, void *buf, size_t n, off64_t offset)
{
    return guarded_read(fd, buf, n, (off_t)offset, 1);
}

static int tested_program(void);

/* Whether a writehold rule stands for a write to fd, to the file or to the folder holding it; the first write held
 * is logged. */
static int write_held(int fd, int *logged)
{
    const char *rules_path = getenv("TAVIK_FAULT_RULES");
    struct stat st, dir;
    if (!rules_path || real_fstat_of(fd, &st) != 0 || !S_ISREG(st.st_mode))
        return 0;
    /* the folder that holds the file, for a rule that stands for a whole output folder */
    char link[64], path[PATH_MAX];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    const ssize_t n = readlink(link, path, sizeof path - 1);
    char *slash = n > 0 ? (path[n] = 0, strrchr(path, '/')) : NULL;
    int bDir = 0;
    if (slash && slash != path) {
        *slash = 0;
        bDir = real_stat_of(path, &dir) == 0;
    }
    int hold = 0;
    pthread_mutex_lock(&g_lock);
    reload_rules(rules_path);
    for (int i = 0; i < g_nrules && !hold; ++i) {
        const struct rule *r = &g_rules[i];
        hold = r->kind == RULE_WRITEHOLD && ((r->dev == st.st_dev && r->ino == st.st_ino) ||
                                             (bDir && r->dev == dir.st_dev && r->ino == dir.st_ino));
        if (hold && !*logged) {
            *logged = 1;
            log_line("%s fd=%d write held\n", r->path, fd);
        }
    }
    pthread_mutex_unlock(&g_lock);
    return hold;
}

static ssize_t (*real_write)(int, const void *, size_t);
static ssize_t (*real_pwrite)(int, const void *, size_t, off_t);

static ssize_t guarded_write(int fd, const void *buf, size_t n, off_t offset, int positional)
{
    if (!real_write) {
        real_write = (ssize_t(*)(int, const void *, size_t))dlsym(RTLD_NEXT, "write");
        real_pwrite = (ssize_t(*)(int, const void *, size_t, off_t))dlsym(RTLD_NEXT, "pwrite");
    }
    if (!t_logging && getenv("TAVIK_FAULT_RULES") && tested_program()) {
        int logged = 0;
        while (write_held(fd, &logged))
            usleep(10000);
    }
    return positional ? real_pwrite(fd, buf, n, offset) : real_write(fd, buf, n);
}

ssize_t write(int fd, const void *buf, size_t n)
{
    return guarded_write(fd, buf, n, 0, 0);
}

ssize_t pwrite(int fd, const void *buf, size_t n, off_t offset)
{
    return guarded_write(fd, buf, n, offset, 1);
}

ssize_t pwrite64(int fd, const void *buf, size_t n, off64_t offset)
{
    return guarded_write(fd, buf, n, (off_t)offset, 1);
}

/* Returns 0 to let a listing query into the folder behind fd go ahead, or an errno. */
static int check_listing(int fd)
{
    const char *rules_path = getenv("TAVIK_FAULT_RULES");
    struct stat st;
    if (!rules_path || real_fstat_of(fd, &st) != 0 || !S_ISDIR(st.st_mode))
        return 0;
    int err = 0;
    pthread_mutex_lock(&g_lock);
    reload_rules(rules_path);
    for (int i = 0; i < g_nrules && !err; ++i) {
        struct rule *r = &g_rules[i];
        if (r->kind != RULE_LISTFAIL || r->dev != st.st_dev || r->ino != st.st_ino)
            continue;
        if (++r->count > r->a)
            err = EIO;
        log_line("listing %s query %lld %s\n", r->path, r->count, err ? strerror(err) : "ok");
    }
    pthread_mutex_unlock(&g_lock);
    return err;
}

int fchdir(int fd)
{
    if (!real_fchdir)
        real_fchdir = (int (*)(int))dlsym(RTLD_NEXT, "fchdir");
    int err = check_listing(fd);
    if (err) {
        errno = err;
        return -1;
    }
    return real_fchdir(fd);
}

/* Whether this process is one of the programs tested: the test that sets a rule looks the folder up too, and the
 * Wine server must never wait (every process would). */
static int tested_program(void)
{
    char comm[32] = "";
    FILE *f = fopen("/proc/self/comm", "r");
    if (!f)
        return 0;
    const int ok = fgets(comm, sizeof comm, f) != NULL;
    fclose(f);
    return ok && !strncmp(comm, "tavik", 5);
}

/* An openhold rule's folder, found by a lookup of its path that gave st: blocks, the first time in the process,
 * for as long as the rule stands. */
static void hold_lookup(const char *path, const struct stat *st)
{
    const char *rules_path = getenv("TAVIK_FAULT_RULES");
    if (!rules_path || path[0] != '/' || !S_ISDIR(st->st_mode))
        return;
    for (int first = 1;; first = 0) {
        int hold = 0;
        pthread_mutex_lock(&g_lock);
        reload_rules(rules_path);
        for (int i = 0; i < g_nrules && !hold; ++i) {
            struct rule *r = &g_rules[i];
            if (r->kind != RULE_OPENHOLD || r->dev != st->st_dev || r->ino != st->st_ino || (first && r->fired))
                continue;
            if (first && !tested_program())
                break;
            hold = 1;
            if (first) {
                r->fired = 1;
                log_line("%s fd=-1 lookup held\n", r->path);
            }
        }
        pthread_mutex_unlock(&g_lock);
        if (!hold)
            return;
        usleep(10000);
    }
}

static int (*real_lstat)(const char *, struct stat *);
static int (*real_fstatat)(int, const char *, struct stat *, int);

int stat(const char *path, struct stat *st)
{
    int rc = real_stat_of(path, st);
    if (rc == 0)
        hold_lookup(path, st);
    return rc;
}

int lstat(const char *path, struct stat *st)
{
    if (!real_lstat)
        real_lstat = (int (*)(const char *, struct stat *))dlsym(RTLD_NEXT, "lstat");
    int rc = real_lstat(path, st);
    if (rc == 0)
        hold_lookup(path, st);
    return rc;
}

int fstatat(int dirfd, const char *path, struct stat *st, int flags)
{
    if (!real_fstatat)
        real_fstatat = (int (*)(int, const char *, struct stat *, int))dlsym(RTLD_NEXT, "fstatat");
    int rc = real_fstatat(dirfd, path, st, flags);
    if (rc == 0)
        hold_lookup(path, st);
    return rc;
}

/* Wine answers a file's index and ID from fstat of its descriptor. */
int fstat(int fd, struct stat *st)
{
    int rc = real_fstat_of(fd, st);
    const char *rules_path = getenv("TAVIK_FAULT_RULES");
    if (rc != 0 || !rules_path)
        return rc;
    char link[64], path[1024];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    ssize_t n = readlink(link, path, sizeof path - 1);
    if (n <= 0)
        return rc;
    path[n] = 0;
    pthread_mutex_lock(&g_lock);
    reload_rules(rules_path);
    for (int i = 0; i < g_nrules; ++i) {
        const struct rule *r = &g_rules[i];
        size_t len = strlen(r->path);
        while (len > 1 && r->path[len - 1] == '/')
            --len;
        if (r->kind == RULE_NOID && !strncmp(path, r->path, len) && (path[len] == 0 || path[len] == '/'))
            st->st_ino = (ino_t)r->a;
    }
    pthread_mutex_unlock(&g_lock);
    return rc;
}

int fstat64(int fd, struct stat64 *st)
{
    return fstat(fd, (struct stat *)st);
}

