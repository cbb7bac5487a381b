// Preloaded into the service by tests: fsync() and fdatasync() of one file take long, or do not return while
// a file exists, as on a failing disk or a network file system that hangs. Every other file is untouched.
//   QUORVEL_SLOWSYNC_PATH  the file, as /proc/self/fd names it
//   QUORVEL_SLOWSYNC_MS    each flush of it waits this long first
//   QUORVEL_SLOWSYNC_HOLD  and then, while this file exists, waits on

#include <dlfcn.h>
#include <limits.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace {

bool isChosen(int fd)
{
    const char* chosen = std::getenv("QUORVEL_SLOWSYNC_PATH");
    if (chosen == nullptr || *chosen == '\0')
        return false;
    char link[64];
    std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    char target[PATH_MAX];
    const ssize_t n = ::readlink(link, target, sizeof target - 1);
    if (n < 0)
        return false;
    target[n] = '\0';
    return ::strcmp(target, chosen) == 0;
}

void sleepMs(long ms)
{
    timespec wait{ms / 1000, (ms % 1000) * 1'000'000L};
    while (::nanosleep(&wait, &wait) != 0 && errno == EINTR) {
    }
}

void delay(int fd)
{
    if (!isChosen(fd))
        return;
    const int saved = errno;
    if (const char* ms = std::getenv("QUORVEL_SLOWSYNC_MS"))
        sleepMs(std::strtol(ms, nullptr, 10));
    if (const char* hold = std::getenv("QUORVEL_SLOWSYNC_HOLD"))
        while (::access(hold, F_OK) == 0)
            sleepMs(20);
    errno = saved;
}

template <typename Call> Call next(const char* name)
{
    return reinterpret_cast<Call>(::dlsym(RTLD_NEXT, name));
}

} // namespace

extern "C" int fdatasync(int fd)
{
    static const auto real = next<int (*)(int)>("fdatasync");
    delay(fd);
    return real(fd);
}

extern "C" int fsync(int fd)
{
    static const auto real = next<int (*)(int)>("fsync");
    delay(fd);
    return real(fd);
}
