#pragma once

#include <QString>

#include <array>
#include <string_view>
#include <utility>

namespace quorvel::acquisition {

// What one read of a sensor page gave, decided once by the sensor table. Every consumer (metrics, messages,
// status, publishers) learns it from the cycle's events and never reads the page again.
enum class ReadOutcome {
    Ok,
    NoElement,
    NotANumber,
    HttpError,
    NoAnswer,
    // Exactly 85 °C where the sensor cannot have got there by itself: its power-on value before a conversion.
    PowerOnReset,
};
inline constexpr int ReadOutcomeCount = 6;

// Every outcome in the order the metrics list them, with the label machines read.
inline constexpr std::array<std::pair<ReadOutcome, std::string_view>, ReadOutcomeCount> ReadOutcomeLabels = {{
    {ReadOutcome::Ok, "ok"},
    {ReadOutcome::NoElement, "no_element"},
    {ReadOutcome::NotANumber, "not_a_number"},
    {ReadOutcome::HttpError, "http_error"},
    {ReadOutcome::NoAnswer, "no_answer"},
    {ReadOutcome::PowerOnReset, "power_on_reset"},
}};

[[nodiscard]] QString readOutcomeLabel(ReadOutcome outcome);

} // namespace quorvel::acquisition
