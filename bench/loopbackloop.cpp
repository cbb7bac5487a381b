// The ceiling for one keep-alive connection: plain sockets, no event loop, no parser, request after request
// over the thirteen sensor URLs against the simulator.

#include "acquisition/sensortable.h"
#include "processprobe.h"
#include "sources/adapter/adapterreader.h"

#include <QString>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

namespace {

[[noreturn]] void fail(const char* what)
{
    std::fprintf(stderr, "bench_loopback: %s: %s\n", what, std::strerror(errno));
    std::exit(1);
}

long argument(int argc, char** argv, const char* name, long fallback)
{
    for (int i = 1; i + 1 < argc; ++i)
        if (std::strcmp(argv[i], name) == 0)
            return std::strtol(argv[i + 1], nullptr, 10);
    return fallback;
}

std::size_t contentLength(std::string_view head)
{
    // Header names are case-insensitive; the simulator's spelling is not relied on.
    static constexpr std::string_view Name = "\r\ncontent-length:";
    for (std::size_t i = 0; i + Name.size() <= head.size(); ++i) {
        std::size_t k = 0;
        while (k < Name.size() && std::tolower(static_cast<unsigned char>(head[i + k])) == Name[k])
            ++k;
        if (k == Name.size())
            return std::strtoul(head.data() + i + k, nullptr, 10);
    }
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    const long port = argument(argc, argv, "--port", 0);
    const long requests = argument(argc, argv, "--requests", 26000);
    if (port <= 0 || port > 65535 || requests <= 0) {
        std::fprintf(stderr, "usage: bench_loopback --port N [--requests N]\n");
        return 2;
    }

    const QString address = QStringLiteral("127.0.0.1:%1").arg(port);
    const std::string prefix = "http://" + address.toStdString();
    std::vector<std::string> wire;
    for (const auto rom : quorvel::acquisition::RomCodes) {
        const std::string url = quorvel::acquisition::sensorUrl(address, rom).toStdString();
        wire.push_back("GET " + url.substr(prefix.size()) + " HTTP/1.1\r\nHost: " + address.toStdString() +
                       "\r\nConnection: keep-alive\r\n\r\n");
    }

    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0)
        fail("socket");
    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    peer.sin_port = htons(static_cast<uint16_t>(port));
    peer.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<const sockaddr*>(&peer), sizeof peer) != 0)
        fail("connect");
    const int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);

    std::string in;
    char chunk[65536];
    long readings = 0;
    const double cpuStart = quorvel::bench::ProcessProbe::cpuSeconds();
    const auto start = std::chrono::steady_clock::now();
    for (long i = 0; i < requests; ++i) {
        const std::string& request = wire[static_cast<std::size_t>(i) % wire.size()];
        if (send(fd, request.data(), request.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(request.size()))
            fail("send");
        std::size_t headEnd = std::string::npos;
        std::size_t total = 0;
        for (;;) {
            if (headEnd == std::string::npos) {
                headEnd = in.find("\r\n\r\n");
                if (headEnd != std::string::npos)
                    total = headEnd + 4 + contentLength(std::string_view(in).substr(0, headEnd + 2));
            }
            if (headEnd != std::string::npos && in.size() >= total)
                break;
            const ssize_t got = recv(fd, chunk, sizeof chunk, 0);
            if (got <= 0)
                fail("recv");
            in.append(chunk, static_cast<std::size_t>(got));
        }
        if (in.compare(0, 12, "HTTP/1.1 200") == 0 && in.find("ID=Temperature_0", headEnd) < total)
            ++readings;
        in.erase(0, total);
    }
    const std::chrono::duration<double> wall = std::chrono::steady_clock::now() - start;
    const double cpu = quorvel::bench::ProcessProbe::cpuSeconds() - cpuStart;
    close(fd);

    std::printf("loopback requests=%ld readings=%ld seconds=%.3f requests_per_second=%.1f "
                "cpu_ms_per_request=%.4f\n",
                requests, readings, wall.count(), double(requests) / wall.count(),
                cpu * 1000.0 / double(requests));
    return readings == requests ? 0 : 1;
}
