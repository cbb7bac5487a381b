#include "runtime/localeformats.h"

#include <QtTest>

using namespace quorvel::runtime;

class TestLocaleFormats : public QObject {
    Q_OBJECT
private slots:
    void localeFormats_data();
    void localeFormats();
    void timeZoneLeavesWithItsSeparator_data();
    void timeZoneLeavesWithItsSeparator();
    void yearsGetFourDigits_data();
    void yearsGetFourDigits();
    void secondsLeaveWithTheirUnit_data();
    void secondsLeaveWithTheirUnit();
};

void TestLocaleFormats::localeFormats_data()
{
    QTest::addColumn<QString>("locale");
    QTest::addColumn<QString>("shortDate");
    QTest::addColumn<QString>("longTime");
    QTest::addColumn<QString>("shortTime");
    QTest::addColumn<QString>("evening");
    QTest::addColumn<QString>("morning");

    QTest::newRow("en_US") << "en_US"
                           << "M/d/yyyy"
                           << "h:mm:ss AP"
                           << "h:mm AP"
                           << "3/14/2007 10:05:42 PM"
                           << "1/2/2031 9:05:07 AM";
    QTest::newRow("de_DE") << "de_DE"
                           << "dd.MM.yyyy"
                           << "HH:mm:ss"
                           << "HH:mm"
                           << "14.03.2007 22:05:42"
                           << "02.01.2031 09:05:07";
    QTest::newRow("en_GB") << "en_GB"
                           << "dd/MM/yyyy"
                           << "HH:mm:ss"
                           << "HH:mm"
                           << "14/03/2007 22:05:42"
                           << "02/01/2031 09:05:07";
    QTest::newRow("fr_FR") << "fr_FR"
                           << "dd/MM/yyyy"
                           << "HH:mm:ss"
                           << "HH:mm"
                           << "14/03/2007 22:05:42"
                           << "02/01/2031 09:05:07";
    QTest::newRow("ja_JP") << "ja_JP"
                           << "yyyy/MM/dd" << QString::fromUtf8("H時mm分ss秒") << "H:mm"
                           << QString::fromUtf8("2007/03/14 22時05分42秒")
                           << QString::fromUtf8("2031/01/02 9時05分07秒");
    // The C locale's short time has seconds; ours does not.
    QTest::newRow("C") << "C"
                       << "d MMM yyyy"
                       << "HH:mm:ss"
                       << "HH:mm"
                       << "14 Mar 2007 22:05:42"
                       << "2 Jan 2031 09:05:07";
}

void TestLocaleFormats::localeFormats()
{
    QFETCH(QString, locale);
    QFETCH(QString, shortDate);
    QFETCH(QString, longTime);
    QFETCH(QString, shortTime);
    QFETCH(QString, evening);
    QFETCH(QString, morning);
    const QLocale loc(locale);

    QCOMPARE(shortDateFormat(loc), shortDate);
    QCOMPARE(longTimeFormat(loc), longTime);
    QCOMPARE(shortTimeFormat(loc), shortTime);
    QCOMPARE(dateTimeText(QDateTime(QDate(2007, 3, 14), QTime(22, 5, 42)), loc), evening);
    QCOMPARE(dateTimeText(QDateTime(QDate(2031, 1, 2), QTime(9, 5, 7)), loc), morning);
}

void TestLocaleFormats::timeZoneLeavesWithItsSeparator_data()
{
    QTest::addColumn<QString>("format");
    QTest::addColumn<QString>("expected");

    QTest::newRow("trailing") << "h:mm:ss AP t"
                              << "h:mm:ss AP";
    QTest::newRow("long names") << "HH:mm:ss tt"
                                << "HH:mm:ss";
    QTest::newRow("offset form") << "HH:mm:ss ttt"
                                 << "HH:mm:ss";
    QTest::newRow("parentheses") << "H:mm:ss (t)"
                                 << "H:mm:ss";
    QTest::newRow("brackets") << "APh:mm:ss [t]"
                              << "APh:mm:ss";
    QTest::newRow("after a comma") << "h:mm:ss AP, t"
                                   << "h:mm:ss AP";
    QTest::newRow("leading") << "t HH:mm:ss"
                             << "HH:mm:ss";
    QTest::newRow("leading, no blank") << "t APh:mm:ss"
                                       << "APh:mm:ss";
    QTest::newRow("in the middle") << "h:mm:ss t AP"
                                   << "h:mm:ss AP";
    QTest::newRow("quoted t stays") << "h:mm:ss 't' t"
                                    << "h:mm:ss 't'";
    QTest::newRow("quoted unit before")
        << QString::fromUtf8("H:mm:ss 'ч'. t") << QString::fromUtf8("H:mm:ss 'ч'.");
    QTest::newRow("escaped quote") << "HH 'o''clock' t"
                                   << "HH 'o''clock'";
    QTest::newRow("none") << "HH:mm:ss"
                          << "HH:mm:ss";
    QTest::newRow("only a zone") << "t"
                                 << "";
}

void TestLocaleFormats::timeZoneLeavesWithItsSeparator()
{
    QFETCH(QString, format);
    QFETCH(QString, expected);
    QCOMPARE(withoutTimeZone(format), expected);
}

void TestLocaleFormats::yearsGetFourDigits_data()
{
    QTest::addColumn<QString>("format");
    QTest::addColumn<QString>("expected");

    QTest::newRow("two digits") << "M/d/yy"
                                << "M/d/yyyy";
    QTest::newRow("already four") << "yyyy-MM-dd"
                                  << "yyyy-MM-dd";
    QTest::newRow("year first") << "yy. M. d."
                                << "yyyy. M. d.";
    QTest::newRow("quoted unit after")
        << QString::fromUtf8("d.MM.yy 'г'.") << QString::fromUtf8("d.MM.yyyy 'г'.");
    QTest::newRow("quoted yy stays") << "'yy' d/M/yy"
                                     << "'yy' d/M/yyyy";
    QTest::newRow("no year") << "d/M"
                             << "d/M";
}

void TestLocaleFormats::yearsGetFourDigits()
{
    QFETCH(QString, format);
    QFETCH(QString, expected);
    QCOMPARE(withFourDigitYear(format), expected);
}

void TestLocaleFormats::secondsLeaveWithTheirUnit_data()
{
    QTest::addColumn<QString>("format");
    QTest::addColumn<QString>("expected");

    QTest::newRow("colon") << "HH:mm:ss"
                           << "HH:mm";
    QTest::newRow("before AP") << "h:mm:ss AP"
                               << "h:mm AP";
    QTest::newRow("fraction") << "HH:mm:ss.zzz"
                              << "HH:mm";
    QTest::newRow("quoted unit") << "HH 'h' mm 'min' ss 's'"
                                 << "HH 'h' mm 'min'";
    QTest::newRow("unit letters") << QString::fromUtf8("H時mm分ss秒") << QString::fromUtf8("H時mm分");
    QTest::newRow("unit letters with blanks")
        << QString::fromUtf8("AP h시 m분 s초") << QString::fromUtf8("AP h시 m분");
    QTest::newRow("no seconds") << "h:mm AP"
                                << "h:mm AP";
}

void TestLocaleFormats::secondsLeaveWithTheirUnit()
{
    QFETCH(QString, format);
    QFETCH(QString, expected);
    QCOMPARE(withoutSeconds(format), expected);
}

QTEST_GUILESS_MAIN(TestLocaleFormats)
#include "tst_localeformats.moc"
