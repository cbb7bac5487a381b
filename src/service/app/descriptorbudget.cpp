#include "service/app/descriptorbudget.h"

#include "service/http/httplistener.h"
#include "service/outputs/alarms/alarmcommand.h"
#include "service/outputs/web/statusserver.h"

#include "runtime/conversions.h"
#include "runtime/groupcommand.h"

#include <sys/resource.h>

namespace quorvel::service {

qint64 descriptorsNeeded(const ServiceConfig& config)
{
    qint64 needed = descriptors::Own;
    for (const SourceConfig& source : config.sources) {
        needed += source.sourceKind().descriptors;
        // Its recovery's command, one at a time.
        if (source.recovery.enabled && !source.recovery.command.isEmpty())
            needed += runtime::GroupCommand::Descriptors;
    }
    if (config.listen)
        needed += descriptors::Listener + HttpLimits().maxConnections;
    if (config.mqtt)
        needed += descriptors::Mqtt;
    if (!config.alarmCommand.isEmpty())
        needed += AlarmCommand::MaxRunning * AlarmCommand::DescriptorsPerCommand;
    if (config.store)
        needed += descriptors::Store + (config.listen ? StatusServer::MaxExports * descriptors::Export : 0);
    needed += config.influx.size() * descriptors::Influx;
    return needed;
}

std::optional<qint64> descriptorLimit()
{
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY)
        return std::nullopt;
    return qint64(limit.rlim_cur);
}

std::optional<qint64> raiseDescriptorLimit()
{
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        // Refused (a hard limit above the kernel's nr_open): the soft one stays, and is the one counted.
        (void)setrlimit(RLIMIT_NOFILE, &limit);
    }
    return descriptorLimit();
}

std::optional<QString> descriptorShortage(const ServiceConfig& config, std::optional<qint64> limit)
{
    const qint64 needed = descriptorsNeeded(config);
    if (!limit || needed <= *limit)
        return std::nullopt;
    const qint64 sources = qint64(config.sources.size());
    return QStringLiteral("%1 %2 about %3 open files; the limit is %4: raise LimitNOFILE= in the unit (an "
                          "override) to %3 or more, or run fewer sources")
        .arg(runtime::countText(sources, "source"),
             sources == 1 ? QStringLiteral("needs") : QStringLiteral("need"))
        .arg(needed)
        .arg(*limit);
}

} // namespace quorvel::service
