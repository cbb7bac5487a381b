#pragma once

#include <QLatin1StringView>
#include <QString>

// Every section and key the program keeps in its per-user settings store, named once. Scripts that write
// a settings file keep their literal text and name this header beside it.
namespace quorvel::runtime::settingskeys {

// The one section.
inline constexpr QLatin1StringView Settings{"Settings"};

// The adapter's address ("host" or "host:port"), read at start.
inline constexpr QLatin1StringView AdapterAddress{"AdapterAddress"};
// A sensor list in the service's format, read at start: when present, the sensors polled, in its order.
inline constexpr QLatin1StringView SensorList{"SensorList"};

// The window placement saved when the window is unloaded, in whole twips; never read back.
inline constexpr QLatin1StringView MainLeft{"MainLeft"};
inline constexpr QLatin1StringView MainTop{"MainTop"};
inline constexpr QLatin1StringView MainWidth{"MainWidth"};
inline constexpr QLatin1StringView MainHeight{"MainHeight"};

// A key of the section as QSettings names it: "Settings/Key".
[[nodiscard]] inline QString path(QLatin1StringView key)
{
    return QString(Settings) + QLatin1Char('/') + key;
}

} // namespace quorvel::runtime::settingskeys
