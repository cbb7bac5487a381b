#pragma once

#include <QString>

#include <array>
#include <string_view>
#include <utility>

namespace quorvel::acquisition {

// What one read of a sensor (an adapter's page, a bus, a server) gave, decided once by the sensor table.
// Every consumer (metrics, messages, status, publishers) learns it from the cycle's events and never reads
// the page again.
enum class ReadOutcome {
    Ok,
    NoElement,
    NotANumber,
    HttpError,
    NoAnswer,
    // Exactly 85 °C where the sensor cannot have got there by itself: its power-on value before a conversion.
    PowerOnReset,
    // The sensor's answer failed its CRC check: a bad line or a loose contact.
    CrcError,
    // A scratchpad of zeros that passes its CRC: nothing drove the bus (a short, a missing pull-up).
    ZeroScratchpad,
    // The sensor is not there: unplugged, or unknown to the server.
    NoSensor,
    // The read failed otherwise: an I/O error, an empty, truncated or garbled answer, a server's error.
    ReadError,
    // A number no sensor of it can mean: outside its range, a jump past its largest step not yet confirmed,
    // or a value a failed conversion or a dead bus leaves (127.9375 °C). Kept out like a failed read.
    Implausible,
};
inline constexpr int ReadOutcomeCount = 11;

// Every outcome in the order the metrics list them, with the label machines read.
inline constexpr std::array<std::pair<ReadOutcome, std::string_view>, ReadOutcomeCount> ReadOutcomeLabels = {{
    {ReadOutcome::Ok, "ok"},
    {ReadOutcome::NoElement, "no_element"},
    {ReadOutcome::NotANumber, "not_a_number"},
    {ReadOutcome::HttpError, "http_error"},
    {ReadOutcome::NoAnswer, "no_answer"},
    {ReadOutcome::PowerOnReset, "power_on_reset"},
    {ReadOutcome::CrcError, "crc_error"},
    {ReadOutcome::ZeroScratchpad, "zero_scratchpad"},
    {ReadOutcome::NoSensor, "no_sensor"},
    {ReadOutcome::ReadError, "read_error"},
    {ReadOutcome::Implausible, "implausible"},
}};

[[nodiscard]] QString readOutcomeLabel(ReadOutcome outcome);

} // namespace quorvel::acquisition
