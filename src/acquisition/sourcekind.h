#pragma once

#include "sensorlist.h"
#include "sensorreader.h"

#include <QString>
#include <QVariantHash>

#include <memory>
#include <optional>
#include <span>

namespace quorvel::acquisition {

// What a source's configuration keys gave, by the name its kind stores it under, typed: what the reader is
// made from.
using SourceSettings = QVariantHash;

// One configuration key of a kind of source.
struct SourceKey {
    const char* name;
    // Taken when the key is not given; nullptr: the key must be given.
    const char* defaultValue;
    // A folder or file: a relative one is the configuration's folder's.
    bool path;
    // Checks the text and stores what it means in settings; otherwise the reason it is no good, said after
    // the key's place and ": ".
    std::optional<QString> (*read)(const QString& text, SourceSettings& settings);
};

// One kind of source, declared in its own room: everything the service needs to know of it, so that a kind
// is one folder and one row of the table.
struct SourceKind {
    const char* name; // as the configuration's kind: key says it
    const char* noun; // what messages and the page call one: "the <noun> at <where>"
    // What the MQTT discovery says the device is.
    const char* model;
    // The families of ROM code a sensor list of it may hold.
    RomFamilies families;
    // The descriptors one source of it holds open at once.
    int descriptors;
    std::span<const SourceKey> keys;
    // Where the source is, as messages and the page say it, from its settings.
    QString (*where)(const SourceSettings& settings);
    // The sensors it polls when none are listed; nullptr: every sensor it finds.
    QList<ListedSensor> (*defaultSensors)();
    // What --check prints for each sensor it polls; nullptr: nothing but the sensors.
    QStringList (*requests)(const QString& where, const QList<ListedSensor>& sensors);
    // Its reader; nullptr: the service's page factory makes it.
    std::unique_ptr<SensorReader> (*makeReader)(const SourceSettings& settings);
    // A sensor's ID as the people who set up a source of it write it, from its ROM code; nullptr: the ROM
    // code as it is.
    QString (*sensorId)(const QString& romCode);
    // What in its setup cannot work as things stand, each said as a warning and never a refusal, since a
    // bus or a server may come up after the service; nullptr: nothing to look at. probe: --check's, which
    // may wait a moment for an answer; the start does not wait.
    QStringList (*setupWarnings)(const SourceSettings& settings, const QList<ListedSensor>& listed,
                                 bool probe);
    // Its readings are believed within their family's datasheet range unless a range is configured: true
    // where the number comes from the sensor itself, not from a page read as the window program reads it.
    bool datasheetRangeByDefault = false;
    // What a source of it can do to its sensors and its bus: set a sensor's resolution, write it into the
    // sensor's EEPROM, bind its bus master again.
    bool setsResolution = false;
    bool savesResolution = false;
    bool rebindsMaster = false;
};

[[nodiscard]] inline QString shownId(const SourceKind& kind, const QString& romCode)
{
    return kind.sensorId ? kind.sensorId(romCode) : romCode;
}

} // namespace quorvel::acquisition
