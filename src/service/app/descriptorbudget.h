#pragma once

#include "service/app/serviceconfig.h"

#include <QString>

#include <optional>

namespace quorvel::service {

// The descriptors the service holds open at once, by what holds them: counted in /proc/PID/fd of a running
// service with one source of a kind and with many, the difference divided by their number.
namespace descriptors {
// Standard input, output and error, the event loop's wakeup, the signal watcher's pair and the toolkit's own
// (8 counted), with room for what opens for a moment: the notify socket, a log read for the history or
// opened anew, the web configuration's files.
inline constexpr int Own = 16;
// Each source's share is its kind's.
// The listening socket; its connections are HttpLimits::maxConnections.
inline constexpr int Listener = 1;
// The broker's connection and the client library's own socket pair.
inline constexpr int Mqtt = 3;
// The alarm commands' share is AlarmCommand::MaxRunning times AlarmCommand::DescriptorsPerCommand.
// The history store: the file and its write-ahead log for the writer and again for the reader, the log's
// index (one for both), and the writer thread's wakeup.
inline constexpr int Store = 6;
// An export in flight reads through a connection of its own: the file, its write-ahead log and its index.
inline constexpr int Export = 3;
// A line-protocol output: its database's connection, and one more while a cut request's closes.
inline constexpr int Influx = 2;
} // namespace descriptors

// About how many descriptors the configuration holds open at once.
[[nodiscard]] qint64 descriptorsNeeded(const ServiceConfig& config);

// The limit on open files the process has now, or nothing when there is none.
[[nodiscard]] std::optional<qint64> descriptorLimit();

// Raises the soft limit on open files to the hard one, as daemons do, before anything is opened; the limit
// the process has then, or nothing when there is none.
[[nodiscard]] std::optional<qint64> raiseDescriptorLimit();

// "N sources need about D open files; the limit is L: raise LimitNOFILE= ...", or nothing when the
// configuration fits within the limit.
[[nodiscard]] std::optional<QString> descriptorShortage(const ServiceConfig& config,
                                                        std::optional<qint64> limit);

} // namespace quorvel::service
