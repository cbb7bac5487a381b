#pragma once

#include <QString>
#include <QStringList>

#include <functional>

namespace quorvel::service {

// The addresses a broker's name stands for, or why there are none (error not empty).
using HostLookupDone = std::function<void(const QStringList& addresses, const QString& error)>;
// Starts looking a name up and returns at once; calls done once, from any thread, or never when the name
// service never answers. The client bounds the wait.
using HostLookup = std::function<void(const QString& host, HostLookupDone done)>;

// getaddrinfo in a thread of its own, left to finish on its own: a name service that never answers holds
// that thread, never the event loop, nor the end of the program (a pool would be waited for at exit).
void lookUpInThread(const QString& host, HostLookupDone done);

} // namespace quorvel::service
