#include "runtime/conversions.h"
#include "runtime/twips.h"

#include <QTest>

#include <cmath>
#include <limits>

using namespace quorvel::runtime;

class tst_Conversions : public QObject {
    Q_OBJECT
private slots:
    void countText_data();
    void countText();
    void integerText_data();
    void integerText();
    void singleText_data();
    void singleText();
    void textToSingleAccepted_data();
    void textToSingleAccepted();
    void textToSingleRejected_data();
    void textToSingleRejected();
    void roundTripsThroughText();
    void pixelsToWholeTwips_data();
    void pixelsToWholeTwips();
};

void tst_Conversions::countText_data()
{
    QTest::addColumn<qint64>("count");
    QTest::addColumn<QString>("expected");
    QTest::newRow("none") << qint64(0) << "0 records";
    QTest::newRow("one") << qint64(1) << "1 record";
    QTest::newRow("two") << qint64(2) << "2 records";
    QTest::newRow("minus one") << qint64(-1) << "-1 records";
}

void tst_Conversions::countText()
{
    QFETCH(qint64, count);
    QFETCH(QString, expected);
    QCOMPARE(quorvel::runtime::countText(count, "record"), expected);
}

void tst_Conversions::integerText_data()
{
    QTest::addColumn<int>("value");
    QTest::addColumn<QString>("expected");
    QTest::newRow("zero") << 0 << "0";
    QTest::newRow("one") << 1 << "1";
    QTest::newRow("thirteen") << 13 << "13";
    QTest::newRow("max") << 32767 << "32767";
    QTest::newRow("min") << -32768 << "-32768";
}

void tst_Conversions::integerText()
{
    QFETCH(int, value);
    QFETCH(QString, expected);
    QCOMPARE(integerToText(static_cast<std::int16_t>(value)), expected);
}

void tst_Conversions::singleText_data()
{
    QTest::addColumn<float>("value");
    QTest::addColumn<QString>("locale");
    QTest::addColumn<QString>("expected");
    const QString us = QStringLiteral("en_US");
    QTest::newRow("sensor value") << 23.5625f << us << "23.5625";
    QTest::newRow("zero") << 0.0f << us << "0";
    QTest::newRow("negative zero") << -0.0f << us << "0";
    QTest::newRow("whole") << 1500.0f << us << "1500";
    QTest::newRow("negative") << -10.125f << us << "-10.125";
    QTest::newRow("step") << 0.0625f << us << "0.0625";
    QTest::newRow("power-on value") << 85.0f << us << "85";
    QTest::newRow("tenth rounds to 7 digits") << 0.1f << us << "0.1";
    QTest::newRow("third") << (1.0f / 3.0f) << us << "0.3333333";
    QTest::newRow("seven integer digits") << 1234567.0f << us << "1234567";
    QTest::newRow("eight digits use exponent") << 12345678.0f << us << "1.234568E+07";
    QTest::newRow("ten million") << 1e7f << us << "1E+07";
    QTest::newRow("small fixed") << 0.00012f << us << "0.00012";
    QTest::newRow("smallest fixed") << 1e-5f << us << "0.00001";
    QTest::newRow("below fixed") << 1.5e-6f << us << "1.5E-06";
    QTest::newRow("huge") << std::numeric_limits<float>::max() << us << "3.402823E+38";
    QTest::newRow("rounding carries") << 9.9999999f << us << "10";
    QTest::newRow("comma locale") << 23.5625f << "de_DE"
                                  << "23,5625";
    QTest::newRow("comma locale negative") << -0.5f << "de_DE"
                                           << "-0,5";
    QTest::newRow("comma locale whole") << 21.0f << "de_DE"
                                        << "21";
}

void tst_Conversions::singleText()
{
    QFETCH(float, value);
    QFETCH(QString, locale);
    QFETCH(QString, expected);
    QCOMPARE(singleToText(value, QLocale(locale)), expected);
}

void tst_Conversions::textToSingleAccepted_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("locale");
    QTest::addColumn<float>("expected");
    const QString us = QStringLiteral("en_US");
    const QString de = QStringLiteral("de_DE");
    QTest::newRow("adapter value") << "23.5625" << us << 23.5625f;
    QTest::newRow("negative") << "-10.125" << us << -10.125f;
    QTest::newRow("whole") << "21" << us << 21.0f;
    QTest::newRow("plus sign") << "+4.5" << us << 4.5f;
    QTest::newRow("leading point") << ".5" << us << 0.5f;
    QTest::newRow("trailing point") << "5." << us << 5.0f;
    QTest::newRow("exponent") << "1.5E2" << us << 150.0f;
    QTest::newRow("blanks around") << "  23.5  " << us << 23.5f;
    QTest::newRow("tab and newline around") << "\t-3\n" << us << -3.0f;
    QTest::newRow("single max") << "3.4028234e38" << us << std::numeric_limits<float>::max();
    // The adapter writes "." whatever the user's locale: the dot never becomes a group separator.
    QTest::newRow("dot in comma locale") << "23.5625" << de << 23.5625f;
    QTest::newRow("dot thousands shape in comma locale") << "235.625" << de << 235.625f;
    QTest::newRow("comma in comma locale") << "23,5625" << de << 23.5625f;
    QTest::newRow("comma locale negative") << "-0,5" << de << -0.5f;
    QTest::newRow("french comma") << "18,25"
                                  << "fr_FR" << 18.25f;
    // Halfway between two floats only in the digits past a double's: read as a double first, then rounded.
    QTest::newRow("double rounding") << "1.00000005960464477539062500001" << us << 1.0000001f;
}

void tst_Conversions::textToSingleAccepted()
{
    QFETCH(QString, text);
    QFETCH(QString, locale);
    QFETCH(float, expected);
    const auto v = textToSingle(text, QLocale(locale));
    QVERIFY2(v.has_value(), qPrintable(QStringLiteral("\"%1\" was refused").arg(text)));
    QCOMPARE(*v, expected);
    // The reading without a locale gives the same or leaves it to textToSingle.
    const auto plain = quorvel::runtime::plainTextToSingle(text);
    if (plain)
        QCOMPARE(*plain, expected);
    QCOMPARE(plain.has_value(), !text.contains(u','));
}

void tst_Conversions::textToSingleRejected_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("locale");
    const QString us = QStringLiteral("en_US");
    QTest::newRow("empty") << "" << us;
    QTest::newRow("blanks only") << "   " << us;
    QTest::newRow("dashes") << "----" << us;
    QTest::newRow("nan") << "NaN" << us;
    QTest::newRow("nan lower") << "nan" << us;
    QTest::newRow("inf") << "inf" << us;
    QTest::newRow("infinity") << "-Infinity" << us;
    QTest::newRow("hex") << "0x1A" << us;
    QTest::newRow("hex vb style") << "&H1A" << us;
    QTest::newRow("trailing garbage") << "23.5C" << us;
    QTest::newRow("inner blank") << "23 .5" << us;
    QTest::newRow("two points") << "1.2.3" << us;
    QTest::newRow("sign only") << "-" << us;
    QTest::newRow("beyond single") << "1e39" << us;
    QTest::newRow("below double range") << "1e-400" << us;
    QTest::newRow("beyond single negative") << "-3.5e38" << us;
    QTest::newRow("comma in dot locale") << "23,5" << us;
    QTest::newRow("group separators") << "1,234.5" << us;
    QTest::newRow("dot groups in comma locale") << "1.234,5"
                                                << "de_DE";
    QTest::newRow("text") << "Sensor error" << us;
    QTest::newRow("exponent without digits") << "1e" << us;
}

void tst_Conversions::textToSingleRejected()
{
    QFETCH(QString, text);
    QFETCH(QString, locale);
    const auto v = textToSingle(text, QLocale(locale));
    QVERIFY2(!v.has_value(), qPrintable(QStringLiteral("\"%1\" read as %2").arg(text).arg(v.value_or(0))));
    QVERIFY(!quorvel::runtime::plainTextToSingle(text));
}

void tst_Conversions::roundTripsThroughText()
{
    // Every 12-bit sensor step over the DS18B20 range survives display and reading back.
    const QLocale us(QStringLiteral("en_US"));
    const QLocale de(QStringLiteral("de_DE"));
    for (int raw = -55 * 16; raw <= 125 * 16; ++raw) {
        const float v = static_cast<float>(raw) / 16.0f;
        QCOMPARE(textToSingle(singleToText(v, us), us).value_or(1e9f), v);
        QCOMPARE(textToSingle(singleToText(v, de), de).value_or(1e9f), v);
        QCOMPARE(float(singleAsDouble(v)), v);
    }
    // As a double for JSON, a calibrated value keeps the digits it was given.
    QCOMPARE(singleAsDouble(21.5F + 4.3F), 25.8);
    QCOMPARE(singleAsDouble(-0.1F), -0.1);
}

void tst_Conversions::pixelsToWholeTwips_data()
{
    QTest::addColumn<int>("pixels");
    QTest::addColumn<double>("dpi");
    QTest::addColumn<int>("twips");
    QTest::newRow("96 dpi, 15 a pixel") << 60 << 96.0 << 900;
    QTest::newRow("120 dpi (125 %)") << 61 << 120.0 << 732;
    QTest::newRow("144 dpi (150 %)") << 61 << 144.0 << 610;
    QTest::newRow("100 dpi, 100.8 rounds up") << 7 << 100.0 << 101;
    QTest::newRow("100 dpi, 878.4 rounds down") << 61 << 100.0 << 878;
    QTest::newRow("100 dpi, left of the screen") << -7 << 100.0 << -101;
    QTest::newRow("110.4 dpi (115 %)") << 1050 << 110.4 << 13696;
    QTest::newRow("168 dpi (175 %), one pixel") << 1 << 168.0 << 9;
    QTest::newRow("half a twip away from zero") << 1 << 576.0 << 3;
    QTest::newRow("negative half a twip") << -1 << 576.0 << -3;
    QTest::newRow("zero") << 0 << 100.0 << 0;
}

void tst_Conversions::pixelsToWholeTwips()
{
    QFETCH(int, pixels);
    QFETCH(double, dpi);
    QFETCH(int, twips);
    QCOMPARE(pixelsToTwips(pixels, dpi), twips);
}

QTEST_GUILESS_MAIN(tst_Conversions)
#include "tst_conversions.moc"
