#include "processprobe.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <sys/resource.h>

namespace quorvel::bench {

double ProcessProbe::cpuSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    const auto seconds = [](const timeval& t) { return double(t.tv_sec) + double(t.tv_usec) / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

std::optional<long> ProcessProbe::statusKb(const char* field)
{
    std::FILE* status = std::fopen("/proc/self/status", "r");
    if (!status)
        return std::nullopt;
    const std::size_t length = std::strlen(field);
    char line[256];
    std::optional<long> value;
    while (std::fgets(line, sizeof line, status)) {
        if (std::strncmp(line, field, length) == 0 && line[length] == ':') {
            value = std::strtol(line + length + 1, nullptr, 10);
            break;
        }
    }
    std::fclose(status);
    return value;
}

std::optional<int> ProcessProbe::openDescriptors()
{
    DIR* dir = opendir("/proc/self/fd");
    if (!dir)
        return std::nullopt;
    int count = 0;
    while (const dirent* entry = readdir(dir))
        if (entry->d_name[0] != '.')
            ++count;
    closedir(dir);
    return count - 1;
}

std::optional<long> ProcessProbe::privateKb()
{
    std::FILE* rollup = std::fopen("/proc/self/smaps_rollup", "r");
    if (!rollup)
        return std::nullopt;
    long kb = 0;
    char line[256];
    while (std::fgets(line, sizeof line, rollup))
        if (std::strncmp(line, "Private_Clean:", 14) == 0 || std::strncmp(line, "Private_Dirty:", 14) == 0)
            kb += std::strtol(line + 14, nullptr, 10);
    std::fclose(rollup);
    return kb;
}

} // namespace quorvel::bench
