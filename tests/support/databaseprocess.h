#pragma once

#include <QByteArray>
#include <QMap>
#include <QObject>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <memory>
#include <optional>

namespace quorvel::testing {

// A line-protocol database Debian ships, for one test: on a free loopback port, its data in a folder of its
// own that outlives a stop, so a restart finds what it had. Ends with this object.
//
// VictoriaMetrics stores each field of a line as a series of its own named MEASUREMENT_FIELD
// (temperature_celsius, temperature_reads), the line's tags its labels, plus db=D from /write's query;
// /api/v2/write adds no such label. It keeps every copy of a point it is sent unless deduplication is on, so
// it runs with -dedup.minScrapeInterval=1ms: a re-sent line (same series, same second) then counts once, as
// in InfluxDB, which overwrites it. What it took is searchable only after /internal/force_flush.
class DatabaseProcess : public QObject {
    Q_OBJECT
public:
    enum class Kind { Victoria, Influx1 };
    // The v1 database (created on InfluxDB at start) and the v2 organisation and bucket.
    static constexpr const char* Database = "quorvel";
    static constexpr const char* Org = "cellar";
    static constexpr const char* Bucket = "quorvel";

    explicit DatabaseProcess(QObject* parent = nullptr);
    ~DatabaseProcess() override;

    // The database's program is installed: otherwise a test skips.
    [[nodiscard]] static bool available(Kind kind);

    // A fresh folder and port; true once it answers its health check.
    bool start(Kind kind);
    // Again on the same port and data.
    bool restart();
    // As its service manager would end it; kill() as a power cut would.
    void stop();
    void kill();
    void pause(bool paused);
    [[nodiscard]] bool isRunning() const { return process_->state() == QProcess::Running; }

    [[nodiscard]] Kind kind() const { return kind_; }
    [[nodiscard]] quint16 port() const { return port_; }
    // http://127.0.0.1:PORT
    [[nodiscard]] QString url() const;
    // Its journal so far, for a failure's message.
    [[nodiscard]] QString output();

    // Posts lines as an output would (pathAndQuery: "/write?db=..."); the answer's status, 0 for none.
    int write(const QString& pathAndQuery, const QByteArray& lines)
    {
        return request("POST", pathAndQuery, lines).first;
    }

    // The times of a measurement's points with this field, per rom tag, in the order the database returns
    // them (by time): a point written twice would show twice, a gap as a missing time. nullopt when the
    // database did not answer.
    [[nodiscard]] std::optional<QMap<QString, QList<qint64>>> times(const QString& measurement,
                                                                    const QString& field);
    // The metric names the database holds (VictoriaMetrics only).
    [[nodiscard]] std::optional<QStringList> metricNames();

private:
    bool launch();
    bool waitUntilAnswering();
    bool writeInfluxConfig();
    // A request on loopback: the status (0 without an answer in 10 s) and the body.
    std::pair<int, QByteArray> request(const QByteArray& verb, const QString& pathAndQuery,
                                       const QByteArray& body = {});

    std::unique_ptr<QTemporaryDir> dir_;
    QProcess* process_;
    Kind kind_ = Kind::Victoria;
    quint16 port_ = 0;
    quint16 otherPort_ = 0;
};

} // namespace quorvel::testing
