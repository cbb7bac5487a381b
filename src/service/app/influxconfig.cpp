#include "service/app/influxconfig.h"

#include "service/app/serviceconfig.h"

#include "acquisition/sensorlist.h"
#include "runtime/optiondecl.h"
#include "runtime/regularfile.h"

#include <QHash>
#include <QSet>

namespace quorvel::service {

namespace {

namespace configyaml = runtime::configyaml;
using configyaml::Entry;
using configyaml::Faults;
using configyaml::Fields;
using influx::Api;
using influx::InfluxSettings;

// A token or a password, never a document.
constexpr qint64 MaxSecretBytes = 64 * 1024;
constexpr qint64 MaxCaFileBytes = 1024 * 1024;
// The name stands in a label, a journal line and the store's cursor table.
constexpr qsizetype MaxOutputNameLength = 128;

bool isNameCharacter(QChar c)
{
    return c.unicode() > 32 && c.unicode() < 127 && c != u'"' && c != u'\\';
}

class InfluxReader {
public:
    InfluxReader(const QDir& folder, Faults& faults) : folder_(folder), faults_(faults) {}

    // One entry of the list; nothing when it has a fault (told).
    std::optional<InfluxSettings> read(const YAML::Node& node, const QString& where, YAML::Mark& nameMark);

private:
    void fail(const Entry& entry, const QString& message)
    {
        faults_.add(entry.mark(), entry.where + message);
    }
    QString resolved(const QString& path) const { return QDir::cleanPath(folder_.absoluteFilePath(path)); }
    // The value as text, or nothing (told).
    std::optional<QString> text(Fields& fields, const char* key, std::optional<Entry>& entry);
    // The file's contents, at most maxBytes; nothing (told with its path) when it cannot be read.
    std::optional<QByteArray> file(const Entry& entry, qint64 maxBytes, QString& path);
    std::optional<QString> secret(const Entry& entry);
    void readUrl(Fields& fields, InfluxSettings& settings);
    void readTags(const Entry& entry, InfluxSettings& settings);
    void readWhole(Fields& fields, const char* key, int high, int& field);

    const QDir& folder_;
    Faults& faults_;
};

std::optional<QString> InfluxReader::text(Fields& fields, const char* key, std::optional<Entry>& entry)
{
    entry = fields.take(key);
    return entry ? configyaml::scalarText(*entry, faults_) : std::nullopt;
}

std::optional<QByteArray> InfluxReader::file(const Entry& entry, qint64 maxBytes, QString& path)
{
    const auto name = configyaml::scalarText(entry, faults_);
    if (name && name->isEmpty())
        fail(entry, QStringLiteral(": expected a file name"));
    if (!name || name->isEmpty())
        return std::nullopt;
    path = resolved(*name);
    runtime::RegularFileRead read = runtime::readRegularFile(path, maxBytes);
    switch (read.status) {
    case runtime::RegularFileRead::Status::Ok:
        return read.bytes;
    case runtime::RegularFileRead::Status::NoInput:
        fail(entry, QStringLiteral(": cannot read %1: %2").arg(path, read.problem));
        break;
    case runtime::RegularFileRead::Status::TooLarge:
        fail(entry, QStringLiteral(": %1 is larger than %2 bytes").arg(path).arg(maxBytes));
        break;
    }
    return std::nullopt;
}

std::optional<QString> InfluxReader::secret(const Entry& entry)
{
    QString path;
    const auto bytes = file(entry, MaxSecretBytes, path);
    if (!bytes)
        return std::nullopt;
    // An editor's final line break is no part of it; a break inside would split a request's header.
    const QString secret = QString::fromUtf8(*bytes).trimmed();
    if (secret.isEmpty())
        fail(entry, QStringLiteral(": %1 is empty").arg(path));
    else if (secret.contains(u'\n') || secret.contains(u'\r'))
        fail(entry, QStringLiteral(": %1 holds more than one line").arg(path));
    else
        return secret;
    return std::nullopt;
}

void InfluxReader::readUrl(Fields& fields, InfluxSettings& settings)
{
    std::optional<Entry> entry;
    const auto url = text(fields, "url", entry);
    if (!entry)
        faults_.add(fields.mark(), fields.where() + QStringLiteral(": url is missing"));
    if (!url)
        return;
    settings.url = QUrl(url->trimmed(), QUrl::StrictMode);
    const QString scheme = settings.url.scheme();
    // Secrets come from files only: user info in the URL would stand in the file and every message.
    if (!settings.url.isValid() || settings.url.host().isEmpty() ||
        (scheme != QLatin1String("http") && scheme != QLatin1String("https")) ||
        !settings.url.userInfo().isEmpty() || settings.url.hasQuery() || settings.url.hasFragment())
        fail(*entry, QStringLiteral(": \"%1\" is not http:// or https:// with a host, an optional port and "
                                    "path (no user, password or query: user, password_file and token_file "
                                    "give those)")
                         .arg(acquisition::escapedForMessage(*url)));
}

void InfluxReader::readTags(const Entry& entry, InfluxSettings& settings)
{
    if (!entry.value.IsMap()) {
        fail(entry, QStringLiteral(": expected a mapping of tags, such as site: cellar-north"));
        return;
    }
    QSet<QString> seen;
    for (const auto& pair : entry.value) {
        const QString key = pair.first.IsScalar() ? QString::fromStdString(pair.first.Scalar()) : QString();
        const Entry tag{pair.first, pair.second, entry.where + u'.' + acquisition::escapedForMessage(key)};
        if (key.trimmed().isEmpty()) {
            faults_.add(pair.first.Mark(), entry.where + QStringLiteral(": a tag's name is a word"));
        } else if (seen.contains(key)) {
            faults_.add(pair.first.Mark(), tag.where + QStringLiteral(": given twice"));
        } else if (const auto value = configyaml::scalarText(tag, faults_)) {
            seen.insert(key);
            settings.tags.append({key, *value});
        }
    }
}

void InfluxReader::readWhole(Fields& fields, const char* key, int high, int& field)
{
    if (const auto entry = fields.take(key))
        if (const auto number = readWholeNumber(*entry, {1, high}, faults_))
            field = *number;
}

std::optional<InfluxSettings> InfluxReader::read(const YAML::Node& node, const QString& where,
                                                 YAML::Mark& nameMark)
{
    if (!node.IsMap()) {
        faults_.add(node.Mark(), where + QStringLiteral(": expected a mapping with url: and the like"));
        return std::nullopt;
    }
    const qsizetype before = faults_.count();
    InfluxSettings settings;
    nameMark = node.Mark();
    {
        Fields fields(node, where, faults_);
        std::optional<Entry> entry;
        const auto name = text(fields, "name", entry);
        if (name && (name->isEmpty() || name->size() > MaxOutputNameLength ||
                     !std::all_of(name->cbegin(), name->cend(), isNameCharacter)))
            fail(*entry, QStringLiteral(": \"%1\" is not an output's name: 1 to %2 printable characters, no "
                                        "space, quote or backslash")
                             .arg(acquisition::escapedForMessage(*name))
                             .arg(MaxOutputNameLength));
        else if (name)
            settings.name = *name;
        if (entry)
            nameMark = entry->mark();
        readUrl(fields, settings);
        if (const auto api = text(fields, "api", entry); api && *api == QLatin1String("v2"))
            settings.api = Api::V2;
        else if (api && *api != QLatin1String("v1"))
            fail(*entry,
                 QStringLiteral(": \"%1\" is not v1 or v2").arg(acquisition::escapedForMessage(*api)));
        // Each way in takes its own keys: one of the other's would be a mistake that sends elsewhere.
        struct Place {
            const char* key;
            QString InfluxSettings::*field;
            Api api;
        };
        for (const Place& place : {Place{"database", &InfluxSettings::database, Api::V1},
                                   Place{"org", &InfluxSettings::org, Api::V2},
                                   Place{"bucket", &InfluxSettings::bucket, Api::V2}}) {
            const auto value = text(fields, place.key, entry);
            const QString api = place.api == Api::V1 ? QStringLiteral("v1") : QStringLiteral("v2");
            if (!entry && settings.api == place.api)
                faults_.add(fields.mark(), QStringLiteral("%1: %2 is missing: api %3 needs it")
                                               .arg(where, QLatin1String(place.key), api));
            else if (entry && settings.api != place.api)
                fail(*entry, QStringLiteral(": is api %1's key").arg(api));
            else if (value && value->trimmed().isEmpty())
                fail(*entry, QStringLiteral(": expected a name"));
            else if (value)
                settings.*place.field = value->trimmed();
        }
        const auto token = fields.take("token_file");
        if (token)
            settings.token = secret(*token).value_or(QString());
        const auto user = text(fields, "user", entry);
        if (user && user->isEmpty())
            fail(*entry, QStringLiteral(": expected a name"));
        else if (user && token)
            fail(*entry, QStringLiteral(": a token_file or a user, not both"));
        const auto password = fields.take("password_file");
        if (user && !password)
            fail(*entry, QStringLiteral(": needs password_file beside it"));
        else if (password && !user)
            fail(*password, QStringLiteral(": needs user beside it"));
        if (user && password) {
            settings.user = *user;
            settings.password = secret(*password).value_or(QString());
        }
        if (const auto cafile = fields.take("cafile")) {
            QString path;
            const auto pem = file(*cafile, MaxCaFileBytes, path);
            if (pem && !pem->contains("-----BEGIN CERTIFICATE-----"))
                fail(*cafile, QStringLiteral(": %1 holds no PEM certificate").arg(path));
            else if (pem && settings.url.scheme() != QLatin1String("https"))
                fail(*cafile, QStringLiteral(": is for an https:// url only"));
            else if (pem)
                settings.cafile = path;
        }
        if (const auto measurement = text(fields, "measurement", entry);
            measurement && measurement->isEmpty())
            fail(*entry, QStringLiteral(": expected a name"));
        else if (measurement)
            settings.measurement = *measurement;
        if (const auto tags = fields.take("tags"))
            readTags(*tags, settings);
        readWhole(fields, "batch", influx::MaxBatch, settings.batch);
        readWhole(fields, "backfill_rate", influx::MaxBackfillRate, settings.backfillRate);
        if (const auto gzip = fields.take("gzip");
            gzip && !YAML::convert<bool>::decode(gzip->value, settings.gzip))
            fail(*gzip, QStringLiteral(": expected true or false"));
    } // unknown keys are told here
    if (faults_.count() > before)
        return std::nullopt;
    if (settings.name.isEmpty())
        settings.name = defaultInfluxName(settings);
    return settings;
}

} // namespace

QList<influx::InfluxSettings> readOutputsBlock(const runtime::configyaml::Entry& entry, const QDir& folder,
                                               runtime::configyaml::Faults& faults)
{
    if (!entry.value.IsMap()) {
        faults.add(entry.mark(), entry.where + QStringLiteral(": expected a mapping with influx:"));
        return {};
    }
    Fields fields(entry.value, entry.where, faults);
    const auto list = fields.take("influx");
    if (!list) {
        faults.add(entry.mark(), entry.where + QStringLiteral(": influx is missing"));
        return {};
    }
    if (!list->value.IsSequence() || list->value.size() == 0 ||
        list->value.size() > std::size_t(MaxInfluxOutputs)) {
        faults.add(list->mark(), list->where + QStringLiteral(": expected a list of 1 to %1 databases, each "
                                                              "- url: and the like")
                                                   .arg(MaxInfluxOutputs));
        return {};
    }
    InfluxReader reader(folder, faults);
    QList<InfluxSettings> outputs;
    QHash<QString, QString> names; // name -> where
    for (std::size_t i = 0; i < list->value.size(); ++i) {
        const QString where = QStringLiteral("%1[%2]").arg(list->where).arg(i);
        YAML::Mark nameMark;
        auto settings = reader.read(list->value[i], where, nameMark);
        if (!settings)
            continue;
        // The name keys the cursor in the store: two outputs of one name would move each other's.
        if (const auto first = names.constFind(settings->name); first != names.constEnd())
            faults.add(nameMark, QStringLiteral("%1.name: %2 is the name of %3 already; give each a name of "
                                                "its own")
                                     .arg(where, acquisition::escapedForMessage(settings->name), *first));
        else
            names.insert(settings->name, where);
        outputs.append(*settings);
    }
    return outputs;
}

QString defaultInfluxName(const InfluxSettings& settings)
{
    const int port = settings.url.port(settings.url.scheme() == QLatin1String("https") ? 443 : 80);
    return QStringLiteral("%1:%2/%3")
        .arg(settings.url.host())
        .arg(port)
        .arg(settings.api == Api::V1 ? settings.database : settings.bucket);
}

QString influxText(const InfluxSettings& settings)
{
    return QStringLiteral("influx %1 at %2")
        .arg(settings.name, settings.url.adjusted(QUrl::RemoveUserInfo).toString());
}

} // namespace quorvel::service
