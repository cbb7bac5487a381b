#include "service/outputs/web/historyjson.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace quorvel::service::statuspage {

QByteArray historyJson(const HistoryRequest& request, const QList<history::Series>& series)
{
    QJsonArray sensors;
    for (const history::Series& one : series) {
        QJsonArray points;
        for (const history::SeriesPoint& point : one.points)
            points.append(QJsonArray{double(point.time), milliValue(point.mean), milliValue(point.min),
                                     milliValue(point.max)});
        sensors.append(QJsonObject{
            {QStringLiteral("rom"), one.romCode},
            {QStringLiteral("source"), one.source},
            {QStringLiteral("name"), one.name},
            {QStringLiteral("points"), points},
        });
    }
    return QJsonDocument(QJsonObject{
                             {QStringLiteral("from"), double(request.from)},
                             {QStringLiteral("to"), double(request.to)},
                             {QStringLiteral("step"), double(request.step)},
                             {QStringLiteral("series"), sensors},
                         })
        .toJson(QJsonDocument::Compact);
}

QByteArray errorJson(const QString& message)
{
    return QJsonDocument(QJsonObject{{QStringLiteral("error"), message}}).toJson(QJsonDocument::Compact);
}

} // namespace quorvel::service::statuspage
