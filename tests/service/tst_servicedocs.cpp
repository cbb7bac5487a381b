#include "servicefixture.h"

#include "service/app/exitstatus.h"
#include "service/app/serviceoptions.h"
#include "service/http/basicauth.h"
#include "service/http/httplistener.h"
#include "service/outputs/outputnames.h"
#include "service/outputs/web/statusjson.h"

#include <QRegularExpression>
#include <QTest>

using namespace quorvel;
using namespace quorvel::acquisition;
using namespace quorvel::testing;

namespace {

// The manual page's source as its reader sees the words, but without blanks: requests, quotes and font
// changes left out.
QString manWords(const QString& source)
{
    static const QRegularExpression markup(QStringLiteral("^\\.[A-Za-z]+|\\\\f[BIRP]|[\" \\n]"),
                                           QRegularExpression::MultilineOption);
    return QString(source).remove(markup).replace(QStringLiteral("\\-"), QStringLiteral("-"));
}

} // namespace

class TestServiceDocs : public QObject {
    Q_OBJECT

private slots:
    void exitStatusesAreDocumented_data();
    void exitStatusesAreDocumented();
    void sharedNamesAreDocumented_data();
    void sharedNamesAreDocumented();
    void optionsAreDocumented_data();
    void optionsAreDocumented();
};

void TestServiceDocs::exitStatusesAreDocumented_data()
{
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("meaning");
    QTest::addColumn<bool>("restartMends");
    for (const service::ExitStatusMeaning& entry : service::ExitStatuses)
        QTest::addRow("%d", int(entry.status))
            << int(entry.status) << QString::fromLatin1(entry.meaning.data(), qsizetype(entry.meaning.size()))
            << entry.restartMends;
}

// The usage text, the manual page and the unit each say what the one table says.
void TestServiceDocs::exitStatusesAreDocumented()
{
    QFETCH(int, status);
    QFETCH(QString, meaning);
    QFETCH(bool, restartMends);
    const QString usage = service::serviceUsage().simplified();
    QVERIFY2(usage.contains(QStringLiteral("%1 %2").arg(status).arg(meaning)), qPrintable(usage));

    const QString packaging = QStringLiteral(QT_TESTCASE_SOURCEDIR "/../../packaging/");
    const QString manual = QString::fromUtf8(readAll(packaging + QStringLiteral("quorvel3d.1.in")));
    const QString exitSection =
        manual.section(QStringLiteral(".SH EXIT STATUS"), 1).section(QStringLiteral(".SH "), 0, 0);
    QVERIFY2(exitSection.contains(QStringLiteral(".B %1\n").arg(status)), qPrintable(exitSection));

    const QString unit = QString::fromUtf8(readAll(packaging + QStringLiteral("quorvel3d.service")));
    const QStringList prevented = unit.section(QStringLiteral("RestartPreventExitStatus="), 1)
                                      .section(QLatin1Char('\n'), 0, 0)
                                      .split(QLatin1Char(' '), Qt::SkipEmptyParts);
    QVERIFY(!prevented.isEmpty());
    QCOMPARE(prevented.contains(QString::number(status)), status != 0 && !restartMends);
}

void TestServiceDocs::sharedNamesAreDocumented_data()
{
    QTest::addColumn<QString>("document"); // under the source tree
    QTest::addColumn<QString>("quoted");   // white space folded
    const QString manual = QStringLiteral("packaging/quorvel3d.1.in");
    const QString readme = QStringLiteral("README.md");
    for (const service::names::MetricFamily& family : service::names::MetricFamilies)
        QTest::addRow("%s", family.name) << manual << QString::fromLatin1(family.name);
    QTest::newRow("schema, README")
        << readme << QStringLiteral("(schema `version` %1)").arg(service::statuspage::ReadingsSchemaVersion);
    QTest::newRow("schema, manual")
        << manual << QStringLiteral("(schema version %1)").arg(service::statuspage::ReadingsSchemaVersion);
    QTest::newRow("failures key") << readme
                                  << QStringLiteral("`%1`").arg(service::names::ConsecutiveFailures);
    for (const char* leaf : {service::names::AlarmLeaf, service::names::AlarmAttributesLeaf}) {
        QTest::addRow("topic %s, README", leaf) << readme << QStringLiteral("`<base>/<ROM>/%1`").arg(leaf);
        QTest::addRow("topic %s, manual", leaf) << manual << QStringLiteral(".IB BASE / ROM /%1 ").arg(leaf);
    }
    // A configuration file's topics carry the source's name, one level more than a command line's.
    for (const char* levels : {"+/+/+", "+/+"})
        QTest::addRow("subscription %s, README", levels)
            << readme
            << QStringLiteral("'%1/%2/%3'")
                   .arg(service::MqttOptions::DefaultTopicRoot, levels, service::names::TemperatureLeaf);
    for (const char* key : {service::names::RawTemperature, service::names::Alarm, service::names::Since,
                            service::names::Hold, service::names::Hysteresis}) {
        QTest::addRow("attribute %s, README", key) << readme << QStringLiteral("`%1`").arg(key);
        QTest::addRow("attribute %s, manual", key) << manual << QStringLiteral(".BR %1 ").arg(key);
    }
    const service::HttpLimits limits;
    for (const QString& document : {readme, manual}) {
        QTest::addRow("connections, %s", qPrintable(document))
            << document << QStringLiteral("%1 connections").arg(limits.maxConnections);
        QTest::addRow("per address, %s", qPrintable(document))
            << document << QStringLiteral("%1 from one address").arg(limits.maxPerAddress);
        QTest::addRow("head, %s", qPrintable(document))
            << document << QStringLiteral("%1 KiB").arg(limits.maxHeadBytes / 1024);
        QTest::addRow("bcrypt cost, %s", qPrintable(document)) << document
                                                               << QStringLiteral("cost %1 to %2")
                                                                      .arg(service::BasicAuth::MinCost)
                                                                      .arg(service::BasicAuth::MaxCost);
    }
}

// Where the README and the manual page quote a name or a bound, they quote the one the code has.
void TestServiceDocs::sharedNamesAreDocumented()
{
    QFETCH(QString, document);
    QFETCH(QString, quoted);
    const QString text =
        QString::fromUtf8(readAll(QStringLiteral(QT_TESTCASE_SOURCEDIR "/../../") + document)).simplified();
    QVERIFY2(!text.isEmpty(), qPrintable(document));
    QVERIFY2(text.contains(quoted),
             qPrintable(QStringLiteral("%1 does not say \"%2\"").arg(document, quoted)));
}

void TestServiceDocs::optionsAreDocumented_data()
{
    QTest::addColumn<int>("row");
    const QList<service::OptionSpec>& table = service::serviceOptionTable();
    for (qsizetype row = 0; row < table.size(); ++row)
        QTest::newRow(qPrintable(table.at(row).names.first())) << int(row);
}

// The synopses agree, and the manual page's entry and README's list give each name with its value, the
// entry also its default and bounds, as the one table says them.
void TestServiceDocs::optionsAreDocumented()
{
    QFETCH(int, row);
    const service::OptionSpec& option = service::serviceOptionTable().at(row);
    const QString manual =
        QString::fromUtf8(readAll(QStringLiteral(QT_TESTCASE_SOURCEDIR "/../../packaging/quorvel3d.1.in")));
    const QString usage =
        service::serviceUsage().section(QStringLiteral("\n\n"), 0, 0).remove(QRegularExpression("\\s"));
    QCOMPARE("Usage:" + manWords(manual.section(".SH SYNOPSIS", 1).section(".br", 0, 0)), usage);

    QStringList entries = manual.section(".SH OPTIONS", 1).section(".SH ", 0, 0).split(".TP\n");
    for (QString& entry : entries)
        entry = manWords(entry);
    const QString readme =
        QString::fromUtf8(readAll(QStringLiteral(QT_TESTCASE_SOURCEDIR "/../../README.md")));
    const QString optionList =
        readme.section("## Running as a service", 1).section("\nOptions: ", 1).section("\n\n", 0, 0);
    for (const QString& name : option.names) {
        const QString spelled =
            QStringLiteral("--") + name + (option.valueName.isEmpty() ? "" : u' ' + option.valueName);
        const auto entry = std::find_if(entries.begin(), entries.end(), [&](const QString& text) {
            return text.contains(QString(spelled).remove(u' '));
        });
        QVERIFY2(entry != entries.end(), qPrintable(spelled));
        for (const QString& limit : service::optionLimits(option))
            QVERIFY2(entry->contains(QString(limit).remove(u' ')), qPrintable(*entry));
        QVERIFY2(optionList.contains(u'`' + spelled + u'`'), qPrintable(spelled));
    }
}

QTEST_GUILESS_MAIN(TestServiceDocs)
#include "tst_servicedocs.moc"
