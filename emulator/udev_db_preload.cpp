// A preload library that gives a umockdev testbed a udev database. libudev counts a device
// with a device node as initialised ("udev has finished with it") only when udev's database
// holds an entry for it, under /run/udev/data. umockdev 0.17 moves /sys and /dev into the
// testbed but not that folder, so this library sends those opens to the testbed's own
// /run/udev/data ($UMOCKDEV_DIR/run/udev/data), where the emulator writes an entry once it
// has "processed" a device (udev_db.h). Outside a testbed it changes nothing.
//
// It must come before umockdev's library in LD_PRELOAD: umockdev reaches libc directly, so a
// library after it never sees the calls.
#include <dlfcn.h>
#include <fcntl.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr char kDatabase[] = "/run/udev/data";

// The testbed's copy of `path` when it lies in udev's database; `path` itself otherwise.
const char* InTestbed(const char* path, char (&buffer)[4096]) {
    const char* root = std::getenv("UMOCKDEV_DIR");
    if (!root || !path || std::strncmp(path, kDatabase, sizeof kDatabase - 1) != 0) return path;
    const char after = path[sizeof kDatabase - 1];
    if (after != '\0' && after != '/') return path;
    const int n = std::snprintf(buffer, sizeof buffer, "%s%s", root, path);
    return n > 0 && static_cast<std::size_t>(n) < sizeof buffer ? buffer : path;
}

template <typename F>
F Next(const char* name) {
    return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

// The mode argument exists only when the flags create a file.
mode_t ModeOf(int flags, va_list args) {
    return (flags & O_CREAT) || (flags & O_TMPFILE) == O_TMPFILE ? va_arg(args, mode_t) : 0;
}

}  // namespace

extern "C" {

FILE* fopen(const char* path, const char* mode) {
    static const auto next = Next<FILE* (*)(const char*, const char*)>("fopen");
    char buffer[4096];
    return next(InTestbed(path, buffer), mode);
}

FILE* fopen64(const char* path, const char* mode) {
    static const auto next = Next<FILE* (*)(const char*, const char*)>("fopen64");
    char buffer[4096];
    return next(InTestbed(path, buffer), mode);
}

int open(const char* path, int flags, ...) {
    static const auto next = Next<int (*)(const char*, int, ...)>("open");
    va_list args;
    va_start(args, flags);
    const mode_t mode = ModeOf(flags, args);
    va_end(args);
    char buffer[4096];
    return next(InTestbed(path, buffer), flags, mode);
}

int open64(const char* path, int flags, ...) {
    static const auto next = Next<int (*)(const char*, int, ...)>("open64");
    va_list args;
    va_start(args, flags);
    const mode_t mode = ModeOf(flags, args);
    va_end(args);
    char buffer[4096];
    return next(InTestbed(path, buffer), flags, mode);
}

int openat(int dir, const char* path, int flags, ...) {
    static const auto next = Next<int (*)(int, const char*, int, ...)>("openat");
    va_list args;
    va_start(args, flags);
    const mode_t mode = ModeOf(flags, args);
    va_end(args);
    char buffer[4096];
    return next(dir, InTestbed(path, buffer), flags, mode);
}

int openat64(int dir, const char* path, int flags, ...) {
    static const auto next = Next<int (*)(int, const char*, int, ...)>("openat64");
    va_list args;
    va_start(args, flags);
    const mode_t mode = ModeOf(flags, args);
    va_end(args);
    char buffer[4096];
    return next(dir, InTestbed(path, buffer), flags, mode);
}

}  // extern "C"
