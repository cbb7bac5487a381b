#pragma once

#include <QList>
#include <QString>

#include <cstdint>
#include <optional>
#include <utility>

namespace quorvel::acquisition {

// The range a sensor's datasheet gives it, by the family byte of its ROM code: DS18S20 10, DS1822 22,
// DS18B20 28 and DS1825 3B -55 to 125 °C, DS28EA00 42 -40 to 85 °C; nothing for another family.
using TemperatureRange = std::pair<double, double>;
[[nodiscard]] std::optional<TemperatureRange> datasheetRange(std::uint8_t family);
// The same for a ROM code in the adapter's form (the family code last).
[[nodiscard]] std::optional<TemperatureRange> datasheetRange(const QString& romCode);

// What one slot's readings are believed within; nothing: no such check.
struct PlausibilityBounds {
    std::optional<double> maxStep = std::nullopt;
    std::optional<TemperatureRange> range = std::nullopt;

    [[nodiscard]] bool any() const { return maxStep || range; }
    friend bool operator==(const PlausibilityBounds&, const PlausibilityBounds&) = default;
};

// Holds back a number no sensor can mean before the sensor table takes it: one outside its slot's range,
// never believed, and one that jumps from the last good reading by more than its largest step, believed
// only when the next read agrees with it (a real step is late by one read, never lost).
class PlausibilityCheck {
public:
    PlausibilityCheck() = default;
    explicit PlausibilityCheck(QList<PlausibilityBounds> bounds);

    // Nothing is checked: no slot has bounds.
    [[nodiscard]] bool isEmpty() const { return bounds_.isEmpty(); }
    // What was read before a new start means nothing to it.
    void forget();
    // The number as read of a slot's good answer: nothing when it is believed, else why not. A jump becomes
    // the candidate the next read is held against.
    [[nodiscard]] std::optional<QString> judge(int slot, float read);
    // The table took the slot's number as a good reading: the next are held against it.
    void taken(int slot, float read);

private:
    struct Slot {
        std::optional<float> lastGood;
        std::optional<float> candidate;
    };
    QList<PlausibilityBounds> bounds_;
    QList<Slot> slots_;
};

} // namespace quorvel::acquisition
