#pragma once

#include <QString>

#include <optional>

namespace quorvel::acquisition {

inline constexpr const char* DefaultAdapterAddress = "127.0.0.1";

// A dotted-quad IPv4 address with an optional ":port" (1 to 65535); the text to put in the URLs, or
// nothing when the text is not of that form.
[[nodiscard]] std::optional<QString> parseAdapterAddress(const QString& text);

struct AdapterAddressResult {
    std::optional<QString> address; // set when usable
    QString error;                  // the message for the user otherwise
};

// Reads the configured adapter address from the settings store, "127.0.0.1" when none is set.
[[nodiscard]] AdapterAddressResult loadAdapterAddress();

} // namespace quorvel::acquisition
