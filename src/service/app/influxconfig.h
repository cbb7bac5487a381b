#pragma once

#include "service/outputs/influx/influxsettings.h"

#include "runtime/configyaml.h"

#include <QDir>
#include <QList>
#include <QString>

namespace quorvel::service {

// Each line-protocol database costs a connection, a cursor in the store and a read of the samples a batch:
// a handful is what a box feeds.
inline constexpr qsizetype MaxInfluxOutputs = 8;

// The configuration's outputs block, {influx: [{url, api, database, ...}, ...]}, with the files it names
// relative to the file's folder and the secrets read from them. A fault is told to faults; then the result
// means nothing.
[[nodiscard]] QList<influx::InfluxSettings> readOutputsBlock(const runtime::configyaml::Entry& entry,
                                                             const QDir& folder,
                                                             runtime::configyaml::Faults& faults);

// The name of an entry that gives none: "<host>:<port>/<database or bucket>", so that reordering the list
// keeps each cursor.
[[nodiscard]] QString defaultInfluxName(const influx::InfluxSettings& settings);

// "influx NAME at URL" for the start line and --check: the URL without user info, never a credential.
[[nodiscard]] QString influxText(const influx::InfluxSettings& settings);

} // namespace quorvel::service
