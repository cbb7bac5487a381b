#pragma once

#include <array>
#include <string_view>

#include <sysexits.h>

namespace quorvel::service {

// The service's exit statuses: main returns them, the usage text and the manual page list them, and the unit
// tells the manager which of them a restart cannot mend. A test holds all three to this table.
enum ExitStatus : int {
    ExitDone = 0,
    ExitBadOption = EX_USAGE,
    ExitBadSensorList = EX_DATAERR,
    ExitFileUnreadable = EX_NOINPUT,
    ExitListenAddressUnavailable = EX_UNAVAILABLE,
    ExitSystemError = EX_OSERR,
    ExitLogCannotOpen = EX_CANTCREAT,
    ExitBadSetting = EX_CONFIG,
};

struct ExitStatusMeaning {
    ExitStatus status;
    // As the usage text words it.
    std::string_view meaning;
    // A restart mends it only when the cause can pass by itself.
    bool restartMends;
};

inline constexpr std::array<ExitStatusMeaning, 8> ExitStatuses = {{
    {ExitDone, "done", false},
    {ExitBadOption, "bad option or value", false},
    {ExitBadSensorList, "a line of the sensor list is no good", false},
    {ExitFileUnreadable, "the sensor list, the MQTT password file or CA file cannot be read", false},
    {ExitListenAddressUnavailable, "the listen address cannot be bound", false},
    {ExitSystemError, "the signal handlers cannot be installed", true},
    {ExitLogCannotOpen, "the log cannot be opened, or the history store cannot be created or written", false},
    {ExitBadSetting,
     "the configuration file, the AdapterAddress setting or the web configuration is not valid, or needs "
     "more open files than allowed, or the history store's file is not a store, is of a newer release or is "
     "corrupt",
     false},
}};

} // namespace quorvel::service
