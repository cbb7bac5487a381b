#include "service/app/storeconfig.h"

#include "service/app/exitstatus.h"
#include "service/app/serviceconfig.h"

namespace quorvel::service {

namespace {

using configyaml::Entry;

struct StoreKey {
    const char* name;
    int history::StoreSettings::*field;
    int high;
};

constexpr StoreKey StoreKeys[] = {
    {"sample_interval", &history::StoreSettings::sampleInterval, history::MaxSampleInterval},
    {"keep_samples", &history::StoreSettings::keepSamplesDays, history::MaxKeepDays},
    {"keep_hourly", &history::StoreSettings::keepHourlyDays, history::MaxKeepDays},
};

} // namespace

std::optional<history::StoreSettings> readStoreBlock(const Entry& entry, const QDir& folder,
                                                     configyaml::Faults& faults)
{
    const auto fail = [&](const YAML::Mark& mark, const QString& message) { faults.add(mark, message); };
    bool on = true;
    if (entry.value.IsScalar() && YAML::convert<bool>::decode(entry.value, on) && !on)
        return std::nullopt;
    if (!entry.value.IsMap()) {
        fail(entry.mark(),
             entry.where + QStringLiteral(": expected a mapping with path: and the like, or false"));
        return std::nullopt;
    }
    configyaml::Fields fields(entry.value, entry.where, faults);
    history::StoreSettings settings;
    if (const auto path = fields.take("path"); !path) {
        fail(entry.mark(), entry.where + QStringLiteral(": path is missing"));
    } else if (const auto text = configyaml::scalarText(*path, faults); text && text->isEmpty()) {
        fail(path->mark(), path->where + QStringLiteral(": expected the store's file name"));
    } else if (text) {
        settings.path = QDir::cleanPath(folder.absoluteFilePath(*text));
    }
    for (const StoreKey& key : StoreKeys)
        if (const auto value = fields.take(key.name))
            if (const auto number = readWholeNumber(*value, {0, key.high}, faults))
                settings.*key.field = *number;
    return settings;
}

void applyStoreOptions(const ServiceOptions& options, ServiceConfig& config)
{
    if (options.noStore)
        config.store.reset();
    else if (!options.storePath.isEmpty())
        config.store = history::StoreSettings{
            .path = QDir::cleanPath(QDir::current().absoluteFilePath(options.storePath))};
    config.storeFromCommandLine = options.noStore || !options.storePath.isEmpty();
}

QString storeRefusal(const history::OpenError& error)
{
    return QStringLiteral("cannot use the history store: %1").arg(error.message);
}

int exitStatusFor(history::OpenFault fault)
{
    switch (fault) {
    case history::OpenFault::CannotCreate:
    case history::OpenFault::ReadOnly:
        return ExitLogCannotOpen;
    case history::OpenFault::NotAStore:
    case history::OpenFault::NewerSchema:
    case history::OpenFault::Corrupt:
        break;
    }
    return ExitBadSetting;
}

QString storeText(const history::StoreSettings& settings)
{
    return settings.sampleInterval == 0
               ? QStringLiteral("%1, a sample every sweep").arg(settings.path)
               : QStringLiteral("%1, a sample every %2 s").arg(settings.path).arg(settings.sampleInterval);
}

} // namespace quorvel::service
