#pragma once

#include <QMetaType>
#include <QString>

#include <optional>

namespace quorvel::acquisition {

// What a reader can do to bring back a bus on which every sensor fails, in the order they are tried.
enum class BusAction {
    // A new search of the bus (a bus master's search, a server's fresh listing).
    Search,
    // The bus master's driver let go of it and taken back (unbind, bind), as a replug would.
    Rebind,
};

// What a reader learnt of one sensor when it set it up for the sweeps to come.
struct SensorFacts {
    // Powered from the data line (parasite) rather than its own supply; nothing: not known.
    std::optional<bool> parasite = std::nullopt;
    // The resolution in bits the sensor converts at, as read back; nothing: not known, or it has none.
    std::optional<int> resolution = std::nullopt;
    // The resolution asked of it and what it holds in its EEPROM, when the reader could tell.
    std::optional<int> wantedResolution = std::nullopt;
    std::optional<int> savedResolution = std::nullopt;
    // The EEPROM was written this time (asked, and it held another resolution).
    bool eepromWritten = false;
    // What was asked of it and not taken, in words; empty when nothing.
    QString problem;

    friend bool operator==(const SensorFacts&, const SensorFacts&) = default;
};

} // namespace quorvel::acquisition

Q_DECLARE_METATYPE(quorvel::acquisition::SensorFacts)
Q_DECLARE_METATYPE(quorvel::acquisition::BusAction)
