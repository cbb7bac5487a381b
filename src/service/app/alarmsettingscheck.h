#pragma once

#include "service/app/serviceconfig.h"

#include <QStringList>

namespace quorvel::service {

// What is wrong with the sensors' offsets and limits and the alarm command, one message each; empty when
// nothing. The configuration reader adds these to its own, so a bad limit stops the start and --check.
[[nodiscard]] QStringList checkAlarmSettings(const ServiceConfig& config);

// For --check: one line per sensor with settings, its offset and limits as they will be used.
[[nodiscard]] QStringList alarmSettingsText(const ServiceConfig& config);

} // namespace quorvel::service
