#include "service/mqtt/mqtthostlookup.h"

#include <QHostAddress>

#include <netdb.h>
#include <sys/socket.h>

#include <thread>

namespace quorvel::service {

void lookUpInThread(const QString& host, HostLookupDone done)
{
    std::thread([name = host.toUtf8(), done = std::move(done)] {
        addrinfo hints{};
        hints.ai_family = AF_UNSPEC;
        hints.ai_socktype = SOCK_STREAM;
        hints.ai_flags = AI_ADDRCONFIG;
        addrinfo* found = nullptr;
        const int rc = ::getaddrinfo(name.constData(), nullptr, &hints, &found);
        QStringList addresses;
        for (const addrinfo* entry = found; rc == 0 && entry; entry = entry->ai_next) {
            const QString address = QHostAddress(entry->ai_addr).toString();
            if (!addresses.contains(address))
                addresses << address;
        }
        if (found)
            ::freeaddrinfo(found);
        done(addresses, rc == 0 ? QString() : QString::fromLocal8Bit(::gai_strerror(rc)));
    }).detach();
}

} // namespace quorvel::service
