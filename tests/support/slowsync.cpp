// Preloaded into the service by tests: fsync() and fdatasync() of the file QUORVEL_SLOWSYNC_PATH (as
// /proc/self/fd names it) first wait QUORVEL_SLOWSYNC_MS, then as long as the file QUORVEL_SLOWSYNC_HOLD
// exists, as on a failing disk or a hung network file system. Every other file is untouched.

#include <dlfcn.h>
#include <limits.h>
#include <string.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>

namespace {

// The C library's own call, after the wait when fd is the chosen file.
int delayed(const char* call, int fd)
{
    const int saved = errno;
    const char* chosen = std::getenv("QUORVEL_SLOWSYNC_PATH");
    const std::string link = "/proc/self/fd/" + std::to_string(fd);
    char target[PATH_MAX] = {};
    if (chosen && ::readlink(link.c_str(), target, sizeof target - 1) >= 0 && ::strcmp(target, chosen) == 0) {
        if (const char* ms = std::getenv("QUORVEL_SLOWSYNC_MS"))
            ::usleep(useconds_t(std::strtol(ms, nullptr, 10) * 1000));
        for (const char* hold = std::getenv("QUORVEL_SLOWSYNC_HOLD"); hold && ::access(hold, F_OK) == 0;)
            ::usleep(20'000);
    }
    errno = saved;
    return reinterpret_cast<int (*)(int)>(::dlsym(RTLD_NEXT, call))(fd);
}

} // namespace

extern "C" int fdatasync(int fd)
{
    return delayed("fdatasync", fd);
}

extern "C" int fsync(int fd)
{
    return delayed("fsync", fd);
}
