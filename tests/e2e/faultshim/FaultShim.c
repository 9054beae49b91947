// Preloaded into the program by the fault matrix: counts every file operation (and thread start)
// the program makes
// through the C library, and makes exactly one of them fail (or cut a write short, or stop the
// process with a signal) when asked through the environment:
//   SORVIK_FAULT_COUNTS=file   at exit, one line "<operation> <count>" per operation used
//   SORVIK_FAULT_OP=name, SORVIK_FAULT_AT=n   the n-th call of that operation ...
//   SORVIK_FAULT_ACTION=fail|short|term|twice|kill|flip, SORVIK_FAULT_ERRNO=number   ... does this
//   (twice: a stop signal and a second one before the first is handled; flip: a copy made in the
//   kernel reports success and keeps one byte changed).
//   SORVIK_FAULT_JOURNAL=file   every fsync and move that succeeded, in order: "sync\tPATH",
//   "move\tFROM\tTO", paths made whole
//   SORVIK_FAULT_LINK=path, SORVIK_FAULT_LINK_TO=target   the first open of that path finds a
//   link to the target put there just before (a name swapped between a look and an open)
// Descriptors 0 to 2 are neither counted nor failed: what goes to stderr is not the run's data.
// Nor are the toolkit's wake-up counters (eventfd): the kernel reads and writes those whole, and
// a wake-up struck here would be lost, leaving a thread asleep for ever, a hang no system makes.
#define _GNU_SOURCE
#include <dirent.h>
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

// clang-format off
#define OPERATIONS(X)                                                                              \
    X(open) X(fopen) X(mkstemp) X(opendir) X(read) X(fread) X(write) X(large_write) X(fwrite)     \
    X(fclose) X(close) X(fsync) X(fchmod) X(rename) X(link) X(unlink) X(mkdir) X(copy_file_range) \
    X(pthread_create)
// clang-format on

enum Operation {
#define ENUM(name) op_##name,
    OPERATIONS(ENUM)
#undef ENUM
        operationCount
};
static const char *const names[] = {
#define NAME(name) #name,
    OPERATIONS(NAME)
#undef NAME
};

enum Action { actFail, actShort, actTerm, actTwice, actKill, actFlip };

static unsigned long counts[operationCount];
static int target = -1;
static unsigned long targetCall;
static int action = actFail;
static int failure = EIO;
static pid_t owner;
static const char *linkPath;
static const char *linkTarget;
static int linked;

static void *next(const char *symbol)
{
    return dlsym(RTLD_NEXT, symbol);
}

__attribute__((constructor)) static void setUp(void)
{
    const char *op = getenv("SORVIK_FAULT_OP");
    const char *at = getenv("SORVIK_FAULT_AT");
    const char *act = getenv("SORVIK_FAULT_ACTION");
    const char *err = getenv("SORVIK_FAULT_ERRNO");
    for (int i = 0; op && i < operationCount; ++i)
        if (strcmp(op, names[i]) == 0)
            target = i;
    targetCall = at ? strtoul(at, NULL, 10) : 0;
    static const char *const actions[] = {"fail", "short", "term", "twice", "kill", "flip"};
    for (int i = 0; act && i < 6; ++i)
        if (strcmp(act, actions[i]) == 0)
            action = i;
    if (err)
        failure = atoi(err);
    linkPath = getenv("SORVIK_FAULT_LINK");
    linkTarget = getenv("SORVIK_FAULT_LINK_TO");
    // The process that was started; a helper it starts in turn inherits the mark and stays inert.
    const char *started = getenv("SORVIK_FAULT_OWNER");
    owner = started ? (pid_t)atol(started) : getpid();
    char pid[24];
    snprintf(pid, sizeof pid, "%ld", (long)owner);
    setenv("SORVIK_FAULT_OWNER", pid, 1);
}

// The counts of the process that was started, not of a helper it started.
__attribute__((destructor)) static void tearDown(void)
{
    const char *file = getenv("SORVIK_FAULT_COUNTS");
    if (!file || getpid() != owner)
        return;
    int (*realOpen)(const char *, int, ...) = next("open");
    ssize_t (*realWrite)(int, const void *, size_t) = next("write");
    const int fd = realOpen(file, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0)
        return;
    char line[128];
    for (int i = 0; i < operationCount; ++i) {
        const int length = snprintf(line, sizeof line, "%s %lu\n", names[i], counts[i]);
        realWrite(fd, line, (size_t)length);
    }
    close(fd);
}

// The program ends with _exit or _Exit, which run no destructor.
#define EXIT(name)                                                                                 \
    void name(int status)                                                                          \
    {                                                                                              \
        tearDown();                                                                                \
        void (*real)(int) = next(#name);                                                           \
        real(status);                                                                              \
        __builtin_unreachable();                                                                   \
    }
EXIT(_exit)
EXIT(_Exit)

// Whether a call on this descriptor is the run's data: not 0 to 2, nor an inode of no type
// (eventfd, timerfd, epoll).
static int counted(int fd)
{
    struct stat st;
    return fd > 2 && (fstat(fd, &st) != 0 || (st.st_mode & S_IFMT) != 0);
}

// 0: go on; 1: fail this call; 2: cut this write short; 3: change a byte of this copy.
static int strike(enum Operation op)
{
    if (getpid() != owner)
        return 0;
    const unsigned long call = __atomic_add_fetch(&counts[op], 1, __ATOMIC_SEQ_CST);
    if ((int)op != target || call != targetCall)
        return 0;
    if (action == actTerm || action == actTwice || action == actKill) {
        raise(action == actKill ? SIGKILL : SIGTERM);
        if (action == actTwice)
            raise(SIGINT);
        return 0;
    }
    if (action == actFlip && op == op_copy_file_range)
        return 3;
    const int isWrite = op == op_write || op == op_large_write || op == op_fwrite;
    return action == actShort && isWrite ? 2 : 1;
}

static void swapIn(const char *path)
{
    if (!linkPath || !linkTarget || getpid() != owner || strcmp(path, linkPath) != 0 ||
        __atomic_exchange_n(&linked, 1, __ATOMIC_SEQ_CST))
        return;
    int (*realUnlink)(const char *) = next("unlink");
    realUnlink(path);
    symlink(linkTarget, path);
}

#define FAIL_WITH(value)                                                                           \
    do {                                                                                           \
        errno = failure;                                                                           \
        return value;                                                                              \
    } while (0)

#define UNPAREN(...) __VA_ARGS__

// The open family; the mode is there only when the flags create a file.
#define OPEN(name, params, ...)                                                                    \
    int name(UNPAREN params, int flags, ...)                                                       \
    {                                                                                              \
        mode_t mode = 0;                                                                           \
        if (flags & (O_CREAT | O_TMPFILE)) {                                                       \
            va_list args;                                                                          \
            va_start(args, flags);                                                                 \
            mode = va_arg(args, mode_t);                                                           \
            va_end(args);                                                                          \
        }                                                                                          \
        swapIn(path);                                                                              \
        if (strike(op_open) == 1)                                                                  \
            FAIL_WITH(-1);                                                                         \
        int (*real)(UNPAREN params, int, ...) = next(#name);                                       \
        return real(__VA_ARGS__, flags, mode);                                                     \
    }
// clang-format off
OPEN(open, (const char *path), path)
OPEN(openat, (int dirfd, const char *path), dirfd, path)
// The toolkit's own files (QFile) are opened through the large-file names.
OPEN(open64, (const char *path), path)
OPEN(openat64, (int dirfd, const char *path), dirfd, path)
// clang-format on

// `path` (or descriptor `fd`'s file when there is none) as a whole path.
static void wholePath(int fd, const char *path, char *out, size_t size)
{
    char base[4096] = "";
    if (!path || path[0] != '/') {
        char link[64];
        snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
        const ssize_t n = fd == AT_FDCWD ? (getcwd(base, sizeof base) ? (ssize_t)strlen(base) : 0)
                                         : readlink(link, base, sizeof base - 1);
        base[n > 0 ? n : 0] = 0;
    }
    snprintf(out, size, "%s%s%s", base, path && path[0] != '/' ? "/" : "", path ? path : "");
}

static void journal(const char *what, int fdA, const char *a, int fdB, const char *b)
{
    const char *file = getenv("SORVIK_FAULT_JOURNAL");
    if (!file || getpid() != owner)
        return;
    const int saved = errno;
    char line[8300], from[4096], to[4096] = "";
    wholePath(fdA, a, from, sizeof from);
    if (b)
        wholePath(fdB, b, to, sizeof to);
    const int length = snprintf(line, sizeof line, "%s\t%s%s%s\n", what, from, b ? "\t" : "", to);
    int (*realOpen)(const char *, int, ...) = next("open");
    ssize_t (*realWrite)(int, const void *, size_t) = next("write");
    int (*realClose)(int) = next("close");
    const int fd = realOpen(file, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    if (fd >= 0) {
        (void)!realWrite(fd, line, (size_t)length);
        realClose(fd);
    }
    errno = saved;
}

// A whole wrapper: it counts the call where `counted` holds (descriptors 0 to 2 do not), returns
// `failed` when this is the call to strike, and does `then` when the call returned 0.
#define WRAP(op, type, name, failed, counted, then, params, ...)                                   \
    type name params                                                                               \
    {                                                                                              \
        if ((counted) && strike(op) == 1)                                                          \
            FAIL_WITH(failed);                                                                     \
        __typeof__(&name) real = next(#name);                                                      \
        type result = real(__VA_ARGS__);                                                           \
        if (result == 0)                                                                           \
            then;                                                                                  \
        return result;                                                                             \
    }
#define SYNCED journal("sync", fd, NULL, 0, NULL)
#define MOVED(a, b) journal("move", a, from, b, to)

// clang-format off
WRAP(op_fopen, FILE *, fopen, NULL, 1, (void)0, (const char *path, const char *mode), path, mode)
WRAP(op_mkstemp, int, mkstemp, -1, 1, (void)0, (char *pattern), pattern)
WRAP(op_opendir, DIR *, opendir, NULL, 1, (void)0, (const char *path), path)
WRAP(op_read, ssize_t, read, -1, counted(fd), (void)0, (int fd, void *data, size_t n), fd, data, n)
WRAP(op_read, ssize_t, pread, -1, counted(fd), (void)0, (int fd, void *data, size_t n, off_t at), fd, data, n, at)
WRAP(op_fread, size_t, fread, 0, fileno(f) > 2, (void)0, (void *data, size_t size, size_t n, FILE *f),
     data, size, n, f)
WRAP(op_fsync, int, fsync, -1, fd > 2, SYNCED, (int fd), fd)
WRAP(op_fsync, int, fdatasync, -1, fd > 2, SYNCED, (int fd), fd)
WRAP(op_fchmod, int, fchmod, -1, fd > 2, (void)0, (int fd, mode_t mode), fd, mode)
WRAP(op_rename, int, rename, -1, 1, MOVED(AT_FDCWD, AT_FDCWD), (const char *from, const char *to),
     from, to)
WRAP(op_rename, int, renameat, -1, 1, MOVED(a, b),
     (int a, const char *from, int b, const char *to), a, from, b, to)
WRAP(op_rename, int, renameat2, -1, 1, MOVED(a, b),
     (int a, const char *from, int b, const char *to, unsigned f), a, from, b, to, f)
WRAP(op_link, int, link, -1, 1, MOVED(AT_FDCWD, AT_FDCWD), (const char *from, const char *to),
     from, to)
WRAP(op_link, int, linkat, -1, 1, MOVED(a, b),
     (int a, const char *from, int b, const char *to, int f), a, from, b, to, f)
WRAP(op_unlink, int, unlink, -1, 1, (void)0, (const char *path), path)
WRAP(op_unlink, int, unlinkat, -1, 1, (void)0, (int fd, const char *path, int flags), fd, path, flags)
WRAP(op_unlink, int, remove, -1, 1, (void)0, (const char *path), path)
WRAP(op_mkdir, int, mkdir, -1, 1, (void)0, (const char *path, mode_t mode), path, mode)
WRAP(op_mkdir, int, mkdirat, -1, 1, (void)0, (int fd, const char *path, mode_t mode), fd, path, mode)
// clang-format on

// The disk took the copy and keeps something else: the last byte copied, changed where it landed.
ssize_t copy_file_range(int in, off_t *from, int out, off_t *to, size_t n, unsigned flags)
{
    const int strikes = in > 2 ? strike(op_copy_file_range) : 0;
    if (strikes == 1)
        FAIL_WITH(-1);
    ssize_t (*real)(int, off_t *, int, off_t *, size_t, unsigned) = next("copy_file_range");
    const ssize_t copied = real(in, from, out, to, n, flags);
    ssize_t (*readAt)(int, void *, size_t, off_t) = next("pread");
    ssize_t (*writeAt)(int, const void *, size_t, off_t) = next("pwrite");
    unsigned char byte;
    if (strikes == 3 && copied > 0 &&
        readAt(in, &byte, 1, (from ? *from : lseek(in, 0, SEEK_CUR)) - 1) == 1) {
        byte ^= 1;
        writeAt(out, &byte, 1, (to ? *to : lseek(out, 0, SEEK_CUR)) - 1);
    }
    return copied;
}

// A write: struck, or cut short to half of what it was asked to write (`amount`).
#define WRITE(op, type, name, failed, fd, amount, params, ...)                                     \
    type name params                                                                               \
    {                                                                                              \
        const int strikes = counted(fd) ? strike(op) : 0;                                          \
        if (strikes == 1)                                                                          \
            FAIL_WITH(failed);                                                                     \
        if (strikes == 2 && amount > 1)                                                            \
            amount /= 2;                                                                           \
        __typeof__(&name) real = next(#name);                                                      \
        return real(__VA_ARGS__);                                                                  \
    }
// clang-format off
// A write of 64 KiB or more is counted apart: few of them (the archive's blocks) among the many
// lines of a run log.
#define LARGE(length) ((length) < 65536 ? op_write : op_large_write)
WRITE(LARGE(length), ssize_t, write, -1, fd, length, (int fd, const void *data, size_t length),
      fd, data, length)
WRITE(LARGE(length), ssize_t, pwrite, -1, fd, length,
      (int fd, const void *data, size_t length, off_t at), fd, data, length, at)
WRITE(op_fwrite, size_t, fwrite, 0, fileno(f), n, (const void *data, size_t size, size_t n, FILE *f),
      data, size, n, f)
// clang-format on

// As the kernel does: the file is closed all the same, and the error reported.
#define CLOSE(name, type, fd, failed)                                                              \
    int name(type handle)                                                                          \
    {                                                                                              \
        int (*real)(type) = next(#name);                                                           \
        const int struck = counted(fd) && strike(op_##name) == 1;                                  \
        const int result = real(handle);                                                           \
        if (struck)                                                                                \
            FAIL_WITH(failed);                                                                     \
        return result;                                                                             \
    }
CLOSE(fclose, FILE *, fileno(handle), EOF)
CLOSE(close, int, handle, -1)

// A thread the system will not start (a limit on threads or on address space): the error is
// returned, not set in errno.
int pthread_create(pthread_t *thread, const pthread_attr_t *attr, void *(*start)(void *), void *arg)
{
    if (strike(op_pthread_create) == 1)
        return failure;
    int (*real)(pthread_t *, const pthread_attr_t *, void *(*)(void *), void *) =
        next("pthread_create");
    return real(thread, attr, start, arg);
}
