#include "conversions.h"

#include <QRegularExpression>

#include <charconv>
#include <cmath>
#include <cstdio>
#include <limits>

namespace quorvel::runtime {

QString countText(qint64 count, const char* noun)
{
    return QString::number(count) + QLatin1Char(' ') + QLatin1StringView(noun) +
           (count == 1 ? QString() : QStringLiteral("s"));
}

QString integerToText(std::int16_t value)
{
    return QString::number(value);
}

double singleAsDouble(float value)
{
    if (!std::isfinite(value))
        return value;
    char text[32];
    const std::to_chars_result written = std::to_chars(std::begin(text), std::end(text), value);
    double widened = 0;
    std::from_chars(std::begin(text), written.ptr, widened);
    return widened;
}

QString singleToText(float value, const QLocale& locale)
{
    if (std::isnan(value))
        return QStringLiteral("NaN");
    if (std::isinf(value))
        return value < 0 ? QStringLiteral("-Infinity") : QStringLiteral("Infinity");
    if (value == 0.0f)
        return QStringLiteral("0");

    // Round to seven significant digits once, then lay the digits out.
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.6e", static_cast<double>(value));
    // buf is like "-2.356250e+01"
    QString text = QString::fromLatin1(buf);
    const bool negative = text.startsWith(QLatin1Char('-'));
    if (negative)
        text.remove(0, 1);
    const qsizetype ePos = text.indexOf(QLatin1Char('e'));
    const int exponent = text.mid(ePos + 1).toInt();
    QString digits = text.left(ePos);
    digits.remove(QLatin1Char('.'));
    while (digits.size() > 1 && digits.endsWith(QLatin1Char('0')))
        digits.chop(1);

    const QString point = locale.decimalPoint();
    QString out;
    if (exponent >= 7 || exponent < -5) {
        out = digits.left(1);
        if (digits.size() > 1)
            out += point + digits.mid(1);
        out += QString(QLatin1Char('E')) + QLatin1Char(exponent < 0 ? '-' : '+') +
               QStringLiteral("%1").arg(std::abs(exponent), 2, 10, QLatin1Char('0'));
    } else if (exponent < 0) {
        out = QStringLiteral("0") + point + QString(-exponent - 1, QLatin1Char('0')) + digits;
    } else if (digits.size() <= exponent + 1) {
        out = digits + QString(exponent + 1 - digits.size(), QLatin1Char('0'));
    } else {
        out = digits.left(exponent + 1) + point + digits.mid(exponent + 1);
    }
    return negative ? QLatin1Char('-') + out : out;
}

namespace {

std::optional<float> inSingleRange(double v)
{
    if (!std::isfinite(v) || std::fabs(v) > static_cast<double>(std::numeric_limits<float>::max()))
        return std::nullopt;
    return static_cast<float>(v);
}

} // namespace

std::optional<float> plainTextToSingle(QStringView text)
{
    const QStringView t = text.trimmed();
    // ^[+-]?(\d+\.?\d*|\.\d+)([eE][+-]?\d+)?$, as the pattern in textToSingle, in ASCII.
    char ascii[64];
    if (t.isEmpty() || t.size() >= qsizetype(sizeof ascii))
        return std::nullopt;
    qsizetype i = 0;
    const auto digit = [&](qsizetype at) { return at < t.size() && t[at] >= u'0' && t[at] <= u'9'; };
    if (t[0] == u'+' || t[0] == u'-')
        ++i;
    const qsizetype mantissa = i;
    qsizetype digits = 0;
    while (digit(i)) {
        ++i;
        ++digits;
    }
    if (i < t.size() && t[i] == u'.') {
        ++i;
        while (digit(i)) {
            ++i;
            ++digits;
        }
    }
    if (digits == 0 || (i - mantissa == 1 && t[mantissa] == u'.'))
        return std::nullopt;
    if (i < t.size() && (t[i] == u'e' || t[i] == u'E')) {
        ++i;
        if (i < t.size() && (t[i] == u'+' || t[i] == u'-'))
            ++i;
        if (!digit(i))
            return std::nullopt;
        while (digit(i))
            ++i;
    }
    if (i != t.size())
        return std::nullopt;
    // std::from_chars takes no "+", and reads a double correctly rounded as QLocale::c().toDouble does.
    const qsizetype from = t[0] == u'+' ? 1 : 0;
    for (qsizetype k = from; k < t.size(); ++k)
        ascii[k - from] = char(t[k].unicode());
    double v = 0.0;
    const char* end = ascii + (t.size() - from);
    const std::from_chars_result result = std::from_chars(ascii, end, v);
    if (result.ec != std::errc() || result.ptr != end)
        return std::nullopt;
    return inSingleRange(v);
}

std::optional<float> textToSingle(const QString& text, const QLocale& locale)
{
    if (const std::optional<float> plain = plainTextToSingle(text))
        return plain;
    const QString t = text.trimmed();
    if (t.isEmpty())
        return std::nullopt;

    // Plain dot-decimal first, so the adapter's values never depend on the user's locale.
    static const QRegularExpression plain(QStringLiteral("^[+-]?(\\d+\\.?\\d*|\\.\\d+)([eE][+-]?\\d+)?$"));
    if (plain.match(t).hasMatch()) {
        bool ok = false;
        const double v = QLocale::c().toDouble(t, &ok);
        if (!ok)
            return std::nullopt;
        return inSingleRange(v);
    }

    QLocale strict = locale;
    strict.setNumberOptions(strict.numberOptions() | QLocale::RejectGroupSeparator);
    bool ok = false;
    const double v = strict.toDouble(t, &ok);
    if (!ok)
        return std::nullopt;
    return inSingleRange(v);
}

} // namespace quorvel::runtime
