#pragma once

#include <QString>

#include <optional>

namespace quorvel::runtime {

// Why an operation failed, worded for the user.
struct Failure {
    QString reason;

    friend bool operator==(const Failure&, const Failure&) = default;
};

// The outcome of an operation that gives nothing back: empty when it worked, else why it failed.
//     if (const runtime::Error error = log.open(path))
//         show(error->reason);
// A value that may be absent is a plain std::optional of the value, never this.
using Error = std::optional<Failure>;

} // namespace quorvel::runtime
