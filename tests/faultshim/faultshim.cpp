// A preloadable shim (LD_PRELOAD) over the file calls the programs make, for
// tests that prove what a failed write does. Each call named in the
// environment fails with the chosen errno when its path contains the chosen
// text; everything else goes through to the C library unchanged.
//
//   TARNEL_FAULT_CALLS   comma-separated: open (an open or creat that may create a file: O_CREAT),
//                        write, fsync (fsync and fdatasync), rename, unlink (unlink, unlinkat, remove),
//                        mkdir
//   TARNEL_FAULT_PATH    text the path must contain (write and fsync: the path of the descriptor;
//                        rename: either path); empty or unset: every path
//   TARNEL_FAULT_ERRNO   ENOSPC, EROFS, EIO, EDQUOT, EACCES, EPERM or a number (default EIO); "crash":
//                        instead of failing, the process faults there (a store to address 0: SIGSEGV)
//   TARNEL_FAULT_WHILE   a file: faults happen only while it exists (a test turns them on and off)
//   TARNEL_FAULT_SKIP    this many matching calls pass before the first fault (default 0)
//   TARNEL_FAULT_LOG     a file that gets one line per fault injected ("<call> <path> <errno>")
//
// Only libc's exported entry points are covered: stdio writes from inside libc (fwrite) never come here.

#include <dlfcn.h>
#include <fcntl.h>
#include <limits.h>
#include <stdarg.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace {

enum Call : unsigned { openCall = 1, writeCall = 2, fsyncCall = 4, renameCall = 8, unlinkCall = 16, mkdirCall = 32 };

struct Settings {
    unsigned calls = 0;
    const char* path = nullptr;
    int error = EIO;
    bool crash = false;
    const char* whileFile = nullptr;
    long skip = 0;
    const char* log = nullptr;
};

Settings settings;
std::atomic<long> matched{0};
bool loaded = false;

int errorNumber(const char* text) {
    if (!text || !*text) return EIO;
    struct Name {
        const char* name;
        int value;
    };
    static const Name names[] = {{"ENOSPC", ENOSPC}, {"EROFS", EROFS},   {"EIO", EIO},
                                 {"EDQUOT", EDQUOT}, {"EACCES", EACCES}, {"EPERM", EPERM}};
    for (const auto& name : names) {
        if (std::strcmp(text, name.name) == 0) return name.value;
    }
    int value = std::atoi(text);
    return value > 0 ? value : EIO;
}

unsigned callSet(const char* text) {
    unsigned set = 0;
    if (!text) return set;
    struct Name {
        const char* name;
        Call call;
    };
    static const Name names[] = {{"open", openCall},     {"write", writeCall},   {"fsync", fsyncCall},
                                 {"rename", renameCall}, {"unlink", unlinkCall}, {"mkdir", mkdirCall}};
    const char* at = text;
    while (*at) {
        const char* end = std::strchr(at, ',');
        std::size_t length = end ? static_cast<std::size_t>(end - at) : std::strlen(at);
        for (const auto& name : names) {
            if (std::strlen(name.name) == length && std::strncmp(at, name.name, length) == 0) set |= name.call;
        }
        if (!end) break;
        at = end + 1;
    }
    return set;
}

void load() {
    if (loaded) return;
    settings.calls = callSet(std::getenv("TARNEL_FAULT_CALLS"));
    settings.path = std::getenv("TARNEL_FAULT_PATH");
    settings.error = errorNumber(std::getenv("TARNEL_FAULT_ERRNO"));
    if (const char* error = std::getenv("TARNEL_FAULT_ERRNO"); error && std::strcmp(error, "crash") == 0) {
        settings.crash = true;
    }
    settings.whileFile = std::getenv("TARNEL_FAULT_WHILE");
    if (const char* skip = std::getenv("TARNEL_FAULT_SKIP")) settings.skip = std::atol(skip);
    settings.log = std::getenv("TARNEL_FAULT_LOG");
    loaded = true;
}

__attribute__((constructor)) void onLoad() {
    load();
}

template <typename Function>
Function next(const char* name) {
    return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

// Straight to the kernel, so that the shim's own bookkeeping never comes back into it.
void note(const char* call, const char* path) {
    if (!settings.log) return;
    int fd =
        static_cast<int>(syscall(SYS_openat, AT_FDCWD, settings.log, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644));
    if (fd < 0) return;
    char line[PATH_MAX + 64];
    int length = std::snprintf(line, sizeof line, "%s %s %d\n", call, path ? path : "-", settings.error);
    if (length > 0) syscall(SYS_write, fd, line, static_cast<std::size_t>(std::min<int>(length, sizeof line - 1)));
    syscall(SYS_close, fd);
}

bool pathMatches(const char* path) {
    if (!settings.path || !*settings.path) return true;
    return path && std::strstr(path, settings.path) != nullptr;
}

// Whether this call, on this path, is to fail; sets errno when it is.
bool injected(Call call, const char* name, const char* path, const char* otherPath = nullptr) {
    load();
    if (!(settings.calls & call)) return false;
    if (!pathMatches(path) && !pathMatches(otherPath)) return false;
    if (settings.whileFile) {
        struct stat info {};
        if (syscall(SYS_newfstatat, AT_FDCWD, settings.whileFile, &info, 0) != 0) return false;
    }
    if (matched.fetch_add(1) < settings.skip) return false;
    note(name, pathMatches(path) ? path : otherPath);
    if (settings.crash) {
        volatile int* nowhere = nullptr;
        *nowhere = 1;
    }
    errno = settings.error;
    return true;
}

// The path a descriptor is open on, into buffer; empty when unknown.
const char* descriptorPath(int fd, char* buffer, std::size_t size) {
    char link[64];
    std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    ssize_t n = readlink(link, buffer, size - 1);
    buffer[n > 0 ? n : 0] = '\0';
    return buffer;
}

bool descriptorInjected(Call call, const char* name, int fd) {
    load();
    if (!(settings.calls & call)) return false;
    char path[PATH_MAX];
    return injected(call, name, descriptorPath(fd, path, sizeof path));
}

bool creates(int flags) {
    return (flags & O_CREAT) != 0;
}

mode_t modeArgument(int flags, va_list arguments) {
    return (flags & (O_CREAT | __O_TMPFILE)) ? static_cast<mode_t>(va_arg(arguments, int)) : 0;
}

}  // namespace

extern "C" {

int open(const char* path, int flags, ...) {
    va_list arguments;
    va_start(arguments, flags);
    mode_t mode = modeArgument(flags, arguments);
    va_end(arguments);
    if (creates(flags) && injected(openCall, "open", path)) return -1;
    static auto real = next<int (*)(const char*, int, ...)>("open");
    return real(path, flags, mode);
}

int open64(const char* path, int flags, ...) {
    va_list arguments;
    va_start(arguments, flags);
    mode_t mode = modeArgument(flags, arguments);
    va_end(arguments);
    if (creates(flags) && injected(openCall, "open", path)) return -1;
    static auto real = next<int (*)(const char*, int, ...)>("open64");
    return real(path, flags, mode);
}

int openat(int dir, const char* path, int flags, ...) {
    va_list arguments;
    va_start(arguments, flags);
    mode_t mode = modeArgument(flags, arguments);
    va_end(arguments);
    if (creates(flags) && injected(openCall, "open", path)) return -1;
    static auto real = next<int (*)(int, const char*, int, ...)>("openat");
    return real(dir, path, flags, mode);
}

int openat64(int dir, const char* path, int flags, ...) {
    va_list arguments;
    va_start(arguments, flags);
    mode_t mode = modeArgument(flags, arguments);
    va_end(arguments);
    if (creates(flags) && injected(openCall, "open", path)) return -1;
    static auto real = next<int (*)(int, const char*, int, ...)>("openat64");
    return real(dir, path, flags, mode);
}

int creat(const char* path, mode_t mode) {
    if (injected(openCall, "open", path)) return -1;
    static auto real = next<int (*)(const char*, mode_t)>("creat");
    return real(path, mode);
}

int creat64(const char* path, mode_t mode) {
    if (injected(openCall, "open", path)) return -1;
    static auto real = next<int (*)(const char*, mode_t)>("creat64");
    return real(path, mode);
}

ssize_t write(int fd, const void* bytes, size_t count) {
    if (descriptorInjected(writeCall, "write", fd)) return -1;
    static auto real = next<ssize_t (*)(int, const void*, size_t)>("write");
    return real(fd, bytes, count);
}

int fsync(int fd) {
    if (descriptorInjected(fsyncCall, "fsync", fd)) return -1;
    static auto real = next<int (*)(int)>("fsync");
    return real(fd);
}

int fdatasync(int fd) {
    if (descriptorInjected(fsyncCall, "fsync", fd)) return -1;
    static auto real = next<int (*)(int)>("fdatasync");
    return real(fd);
}

int rename(const char* from, const char* to) {
    if (injected(renameCall, "rename", from, to)) return -1;
    static auto real = next<int (*)(const char*, const char*)>("rename");
    return real(from, to);
}

int renameat(int fromDir, const char* from, int toDir, const char* to) {
    if (injected(renameCall, "rename", from, to)) return -1;
    static auto real = next<int (*)(int, const char*, int, const char*)>("renameat");
    return real(fromDir, from, toDir, to);
}

int renameat2(int fromDir, const char* from, int toDir, const char* to, unsigned flags) {
    if (injected(renameCall, "rename", from, to)) return -1;
    static auto real = next<int (*)(int, const char*, int, const char*, unsigned)>("renameat2");
    return real(fromDir, from, toDir, to, flags);
}

int unlink(const char* path) {
    if (injected(unlinkCall, "unlink", path)) return -1;
    static auto real = next<int (*)(const char*)>("unlink");
    return real(path);
}

int unlinkat(int dir, const char* path, int flags) {
    if (injected(unlinkCall, "unlink", path)) return -1;
    static auto real = next<int (*)(int, const char*, int)>("unlinkat");
    return real(dir, path, flags);
}

int remove(const char* path) {
    if (injected(unlinkCall, "unlink", path)) return -1;
    static auto real = next<int (*)(const char*)>("remove");
    return real(path);
}

int mkdir(const char* path, mode_t mode) {
    if (injected(mkdirCall, "mkdir", path)) return -1;
    static auto real = next<int (*)(const char*, mode_t)>("mkdir");
    return real(path, mode);
}

int mkdirat(int dir, const char* path, mode_t mode) {
    if (injected(mkdirCall, "mkdir", path)) return -1;
    static auto real = next<int (*)(int, const char*, mode_t)>("mkdirat");
    return real(dir, path, mode);
}

}  // extern "C"
