// Preloaded into the service by tests: fsync() and fdatasync() of the file QUORVEL_SLOWSYNC_PATH (as
// /proc/self/fd names it) first wait QUORVEL_SLOWSYNC_MS, then as long as the file QUORVEL_SLOWSYNC_HOLD
// exists, as on a failing disk or a hung network file system. Every other file is untouched.

#include <dlfcn.h>
#include <limits.h>
#include <string.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace {

void delay(int fd)
{
    const char* chosen = std::getenv("QUORVEL_SLOWSYNC_PATH");
    char link[64];
    char target[PATH_MAX] = {};
    std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    if (chosen == nullptr || ::readlink(link, target, sizeof target - 1) < 0 || ::strcmp(target, chosen) != 0)
        return;
    const int saved = errno;
    if (const char* ms = std::getenv("QUORVEL_SLOWSYNC_MS"))
        ::usleep(useconds_t(std::strtol(ms, nullptr, 10) * 1000));
    for (const char* hold = std::getenv("QUORVEL_SLOWSYNC_HOLD"); hold && ::access(hold, F_OK) == 0;)
        ::usleep(20'000);
    errno = saved;
}

} // namespace

extern "C" int fdatasync(int fd)
{
    static const auto real = reinterpret_cast<int (*)(int)>(::dlsym(RTLD_NEXT, "fdatasync"));
    delay(fd);
    return real(fd);
}

extern "C" int fsync(int fd)
{
    static const auto real = reinterpret_cast<int (*)(int)>(::dlsym(RTLD_NEXT, "fsync"));
    delay(fd);
    return real(fd);
}
