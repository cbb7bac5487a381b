#pragma once

#include <QString>

#include <functional>

namespace quorvel::runtime {

// Where the service's parts say what a person should read: one line each (standard error, the journal).
using MessageSink = std::function<void(const QString&)>;

} // namespace quorvel::runtime
