#include "pagebuilder.h"

#include "sensortable.h"

#include <cstdlib>
#include <random>

namespace quorvel::adaptersim {

QByteArray PageBuilder::formatTemperature(int sixteenths)
{
    const int magnitude = std::abs(sixteenths);
    QByteArray text = sixteenths < 0 ? "-" : "";
    text += QByteArray::number(magnitude / 16);
    // A sixteenth is exactly 0.0625, so four digits always suffice.
    QByteArray fraction = QByteArray::number((magnitude % 16) * 625).rightJustified(4, '0');
    while (fraction.endsWith('0'))
        fraction.chop(1);
    if (!fraction.isEmpty())
        text += '.' + fraction;
    return text;
}

QByteArray PageBuilder::page(int sensor, QByteArrayView rom, QByteArrayView temperatureCell)
{
    QByteArray out;
    out.reserve(420);
    out += "<HTML><HEAD><TITLE>DS18B20 Sensor " + QByteArray::number(sensor) + "</TITLE></HEAD><BODY>";
    out += "<H3>1-Wire Sensor Reading</H3>\n";
    out += "<FORM NAME=Reading ACTION=\"";
    out += SensorPath.toByteArray();
    out += "\"><TABLE BORDER=1><TR><TD>ROM<TD>" + rom.toByteArray() + "\n";
    out += "<TR><TD>Temperature<TD>";
    out += temperatureCell.toByteArray();
    out += "\n</TABLE></FORM></BODY></HTML>\n";
    return out;
}

QByteArray PageBuilder::readingPage(int sensor, QByteArrayView rom, int sixteenths)
{
    return page(sensor, rom,
                "<INPUT TYPE=TEXT ID=Temperature_0 NAME=Temperature_0 VALUE=\"" +
                    formatTemperature(sixteenths) + "\" SIZE=10 READONLY>");
}

QByteArray PageBuilder::padded(const QByteArray& page, qsizetype size)
{
    static constexpr QByteArrayView Open = "<!--";
    static constexpr QByteArrayView Close = "-->\n";
    const qsizetype fill = size - page.size() - Open.size() - Close.size();
    if (fill < 0)
        return page;
    // Before the form, so a client only finds the reading once it has taken in all the padding.
    const qsizetype at = qMax(page.indexOf("<FORM"), qsizetype(0));
    QByteArray out;
    out.reserve(size);
    out += QByteArrayView(page).first(at);
    out += Open;
    out += QByteArray(fill, '.');
    out += Close;
    out += QByteArrayView(page).sliced(at);
    return out;
}

QByteArray PageBuilder::garbage(quint64 seed)
{
    std::seed_seq seq{quint32(seed), quint32(seed >> 32), 0x6a7bU};
    std::mt19937 engine(seq);
    QByteArray bytes(GarbageSize, Qt::Uninitialized);
    for (qsizetype i = 0; i < bytes.size(); ++i) {
        char c = char(engine() & 0xffU);
        // No '<' so nothing can pass for a tag, and NULs at fixed places so there always are some.
        if (c == '<' || i % 37 == 5)
            c = '\0';
        bytes[i] = c;
    }
    return bytes;
}

HttpResponse PageBuilder::redirect(const QByteArray& location)
{
    HttpResponse response;
    response.status = 302;
    response.headers.append(qMakePair(QByteArray("Location"), location));
    response.body = "<HTML><HEAD><TITLE>302 Found</TITLE></HEAD><BODY>Moved to <A HREF=\"" + location +
                    "\">" + location + "</A></BODY></HTML>\n";
    return response;
}

HttpResponse PageBuilder::sensorResponse(int sensor, QByteArrayView rom, int sixteenths, const Fault& fault,
                                         const RequestTarget& target, quint64 garbageSeed)
{
    HttpResponse response;
    const QByteArray reading = formatTemperature(sixteenths);
    const QByteArray pathAndQuery = target.path + '?' + target.encodedQuery;
    const QByteArray port = QByteArray::number(target.port);
    switch (fault.kind) {
    case FaultKind::None:
    case FaultKind::Rise: // its reading is the risen one
    case FaultKind::Close:
    case FaultKind::Silent:
        response.body = readingPage(sensor, rom, sixteenths);
        break;
    case FaultKind::PowerOnReset:
        response.body = readingPage(sensor, rom, PowerOnSixteenths);
        break;
    case FaultKind::Missing:
        response.body = page(sensor, rom, "Sensor not responding");
        break;
    case FaultKind::Dashes:
        response.body = page(sensor, rom,
                             "<INPUT TYPE=TEXT ID=Temperature_0 NAME=Temperature_0 VALUE=\"----\" "
                             "SIZE=10 READONLY>");
        break;
    case FaultKind::Value:
        response.body = page(sensor, rom,
                             "<INPUT TYPE=TEXT ID=Temperature_0 NAME=Temperature_0 VALUE=\"" + fault.arg +
                                 "\" SIZE=10 READONLY>");
        break;
    case FaultKind::NoValue:
        response.body = page(sensor, rom, "<SPAN ID=Temperature_0>" + reading + "</SPAN>");
        break;
    case FaultKind::Garbage:
        response.contentType = "application/octet-stream";
        response.body = garbage(garbageSeed);
        break;
    case FaultKind::Status500:
        response.status = 500;
        response.body = "<HTML><HEAD><TITLE>500 Internal Server Error</TITLE></HEAD><BODY>"
                        "<H1>Internal Server Error</H1>The 1-Wire bus did not answer.</BODY></HTML>\n";
        break;
    case FaultKind::Drip:
        response.body = padded(readingPage(sensor, rom, sixteenths), MinimumDripBodySize);
        break;
    case FaultKind::Huge:
        response.body = padded(readingPage(sensor, rom, sixteenths), HugeBodySize);
        break;
    case FaultKind::RedirectOtherHost:
        response = redirect("http://127.0.0.2:" + port + pathAndQuery);
        break;
    case FaultKind::RedirectSame:
        response = redirect("http://127.0.0.1:" + port + pathAndQuery + "&r=1");
        break;
    case FaultKind::RedirectLoop:
        response = redirect("http://127.0.0.1:" + port + pathAndQuery);
        break;
    }
    return response;
}

HttpResponse PageBuilder::notFound()
{
    HttpResponse response;
    response.status = 404;
    response.body = "<HTML><HEAD><TITLE>404 Not Found</TITLE></HEAD><BODY><H1>Not Found</H1>"
                    "No such page on this adapter.</BODY></HTML>\n";
    return response;
}

HttpResponse PageBuilder::methodNotAllowed()
{
    HttpResponse response = text(405, "only GET is served\n");
    response.headers.append(qMakePair(QByteArray("Allow"), QByteArray("GET")));
    return response;
}

HttpResponse PageBuilder::text(int status, const QByteArray& text)
{
    HttpResponse response;
    response.status = status;
    response.contentType = "text/plain";
    response.body = text;
    return response;
}

} // namespace quorvel::adaptersim
