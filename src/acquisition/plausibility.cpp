#include "plausibility.h"

#include "runtime/conversions.h"

#include <algorithm>
#include <cmath>

namespace quorvel::acquisition {

namespace {

QString degrees(double value)
{
    return runtime::singleToText(float(value), QLocale::c());
}

} // namespace

std::optional<TemperatureRange> datasheetRange(std::uint8_t family)
{
    switch (family) {
    case 0x10:
    case 0x22:
    case 0x28:
    case 0x3B:
        return TemperatureRange{-55, 125};
    case 0x42:
        return TemperatureRange{-40, 85};
    default:
        return std::nullopt;
    }
}

std::optional<TemperatureRange> datasheetRange(const QString& romCode)
{
    bool ok = false;
    const uint family = romCode.right(2).toUInt(&ok, 16);
    return ok && romCode.size() == 16 ? datasheetRange(std::uint8_t(family)) : std::nullopt;
}

PlausibilityCheck::PlausibilityCheck(QList<PlausibilityBounds> bounds)
{
    if (std::any_of(bounds.cbegin(), bounds.cend(), [](const PlausibilityBounds& b) { return b.any(); }))
        bounds_ = std::move(bounds);
    forget();
}

void PlausibilityCheck::forget()
{
    slots_ = QList<Slot>(bounds_.size());
}

std::optional<QString> PlausibilityCheck::judge(int slot, float read)
{
    if (slot < 0 || slot >= bounds_.size())
        return std::nullopt;
    const PlausibilityBounds& bounds = bounds_.at(slot);
    if (const auto& range = bounds.range; range && (read < range->first || read > range->second))
        return QStringLiteral("%1 °C is outside the range %2 to %3 °C")
            .arg(degrees(read), degrees(range->first), degrees(range->second));
    Slot& state = slots_[slot];
    const auto near = [&](std::optional<float> before) {
        return before && std::abs(double(read) - double(*before)) <= *bounds.maxStep;
    };
    if (!bounds.maxStep || !state.lastGood || near(state.lastGood) || near(state.candidate)) {
        state.candidate.reset();
        return std::nullopt;
    }
    state.candidate = read;
    return QStringLiteral(
               "jumped from %1 to %2 °C, more than max_step %3 °C; believed if the next read agrees")
        .arg(degrees(*state.lastGood), degrees(read), degrees(*bounds.maxStep));
}

void PlausibilityCheck::taken(int slot, float read)
{
    if (slot >= 0 && slot < slots_.size())
        slots_[slot].lastGood = read;
}

} // namespace quorvel::acquisition
