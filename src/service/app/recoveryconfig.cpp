#include "service/app/recoveryconfig.h"

#include "service/app/alarmsettingscheck.h"

namespace quorvel::service {

using configyaml::Entry;
using configyaml::Faults;

QStringList readCommand(const Entry& entry, const QDir& folder, Faults& faults)
{
    if (!entry.value.IsSequence() || entry.value.size() == 0) {
        faults.add(entry.mark(),
                   entry.where + QStringLiteral(": expected a list: the program, then its arguments"));
        return {};
    }
    QStringList command;
    for (std::size_t i = 0; i < entry.value.size(); ++i)
        if (const auto word = configyaml::scalarText(Entry{entry.key, entry.value[i], entry.where}, faults))
            command << *word;
    if (!command.isEmpty() && command.front().contains(QLatin1Char('/')) &&
        QDir::isRelativePath(command.front()))
        command.front() = QDir::cleanPath(folder.absoluteFilePath(command.front()));
    if (const auto problem = programProblem(command.value(0))) {
        faults.add(entry.mark(), entry.where + QStringLiteral(": ") + *problem);
        return {};
    }
    return command;
}

std::optional<RecoverySettings> readRecovery(const Entry& entry, const acquisition::SourceKind& kind,
                                             const QDir& folder, Faults& faults)
{
    RecoverySettings recovery;
    bool on = true;
    if (entry.value.IsScalar() && YAML::convert<bool>::decode(entry.value, on) && !on) {
        recovery.enabled = false;
        return recovery;
    }
    if (!entry.value.IsMap()) {
        faults.add(entry.mark(), entry.where + QStringLiteral(": expected false, or a mapping with after:, "
                                                              "command: and rebind:"));
        return std::nullopt;
    }
    const qsizetype before = faults.count();
    {
        configyaml::Fields fields(entry.value, entry.where, faults);
        if (const auto after = fields.take("after"))
            if (const auto seconds = readWholeNumber(*after, {10, 86400}, faults, "seconds"))
                recovery.afterSeconds = *seconds;
        if (const auto command = fields.take("command"))
            recovery.command = readCommand(*command, folder, faults);
        if (const auto rebind = fields.take("rebind")) {
            const auto path = configyaml::scalarText(*rebind, faults);
            if (!kind.rebindsMaster)
                faults.add(rebind->key.Mark(),
                           rebind->where +
                               QStringLiteral(": only a w1 source's bus master is bound again; this "
                                              "source is kind: %1")
                                   .arg(QLatin1String(kind.name)));
            else if (path && path->isEmpty())
                faults.add(rebind->mark(),
                           rebind->where +
                               QStringLiteral(": expected the bus master's device in its driver's "
                                              "folder, such as /sys/bus/platform/drivers/w1-gpio/"
                                              "onewire@0"));
            else if (path)
                recovery.rebindDevice = QDir::cleanPath(folder.absoluteFilePath(*path));
        }
    } // unknown keys are told here
    if (faults.count() > before)
        return std::nullopt;
    return recovery;
}

QString recoveryText(const RecoverySettings& recovery)
{
    if (!recovery.enabled)
        return QStringLiteral("recovery off");
    QStringList steps{QStringLiteral("search where the bus offers it")};
    if (!recovery.command.isEmpty())
        steps << QStringLiteral("command %1").arg(recovery.command.join(QLatin1Char(' ')));
    if (!recovery.rebindDevice.isEmpty())
        steps << QStringLiteral("rebind %1").arg(recovery.rebindDevice);
    return QStringLiteral("recovery after %1 s: %2")
        .arg(recovery.afterSeconds)
        .arg(steps.join(QStringLiteral(", ")));
}

} // namespace quorvel::service
