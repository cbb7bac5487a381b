#include "hostilepages.h"

namespace quorvel::testing {

namespace {

const QByteArray head =
    "<HTML><HEAD><TITLE>DS18B20 Sensor 1</TITLE></HEAD><BODY><H3>1-Wire Sensor Reading</H3>\n";
const QByteArray reading = QByteArray("<INPUT TYPE=TEXT ID=Temperature_0 NAME=Temperature_0 VALUE=\"") +
                           HostileReading + "\" SIZE=10 READONLY>\n";
const QByteArray tail = reading + "</BODY></HTML>\n";

// head + open + unit repeated as often as fits + close + tail.
HostilePage repeated(const char* name, qsizetype bytes, const QByteArray& open, const QByteArray& unit,
                     const QByteArray& close = {})
{
    const qsizetype room = bytes - head.size() - open.size() - close.size() - tail.size();
    return {QString::fromLatin1(name),
            head + open + unit.repeated(qMax<qsizetype>(0, room / unit.size())) + close + tail};
}

HostilePage nothingShown(HostilePage page)
{
    page.shortened = false;
    return page;
}

// Names of one to four characters, each once (" a b ... z ab bb ..."), about `bytes` long.
QByteArray distinctAttributes(qsizetype bytes)
{
    static constexpr char First[] = "abcdefghijklmnopqrstuvwxyz";
    static constexpr char Next[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    QByteArray out;
    for (qsizetype n = 0; out.size() < bytes - 6; ++n) {
        QByteArray name(1, First[n % 26]);
        for (qsizetype rest = n / 26; rest > 0; rest /= 36)
            name += Next[rest % 36];
        out += ' ' + name;
    }
    return out;
}

} // namespace

std::vector<HostilePage> hostilePages(qsizetype bytes)
{
    const qsizetype bulk = bytes - head.size() - tail.size() - 64;
    return {
        repeated("line breaks", bytes, "<P>", "<BR>"),
        repeated("table cells", bytes, "<TABLE BORDER=1>", "<TR><TD>1<TD>2<TD>3<TD>4<TD>5<TD>6<TD>7<TD>8",
                 "</TABLE>"),
        // The parser reads no deeper than 256 levels, so these carry the reading before the nesting too.
        repeated("nested tables", bytes, reading, "<TABLE><TR><TD>"),
        repeated("nested inline", bytes, reading + "<P>", "<B><I>"),
        // A control's value is what the view shows of it: one word with no place to break a line.
        {QStringLiteral("huge attribute"),
         head + "<INPUT TYPE=TEXT VALUE=\"" + QByteArray(bulk, '7') + "\">\n" + tail},
        {QStringLiteral("huge text node"), head + "<P>" + QByteArray(bulk, 'x') + "</P>\n" + tail},
        // The dearest view there is (a word as long as the view takes), then cheap markup that makes the
        // reading as dear as its size: a page just within the read budget costs the window most.
        repeated("long word, then line breaks", bytes, "<P>" + QByteArray(16 * 1024, 'x') + "</P><P>",
                 "<BR>"),
        repeated("50,000 inputs", head.size() + 50000 * 15 + tail.size(), {}, "<INPUT VALUE=1>"),
        // Each looked for among the entity names.
        repeated("unknown entities", bytes, "<P>", "&foo;"),
        // Each looked for among the open elements, with an error message libxml2 formats unasked.
        repeated("stray end tags", bytes, QByteArray("<DIV>").repeated(250), "</P></B></I>"),
        repeated("broken references, &#x;&#;&amp", bytes, "<P>", "&#x;&#;&amp"),
        // The dearest of the broken references measured (about three times the one above a byte); the
        // parser drops each, so there is nothing to show.
        nothingShown(repeated("broken references, bare &#", bytes, "<P>", "&#")),
        {QStringLiteral("distinct attributes"), head + "<P" + distinctAttributes(bulk) + ">\n" + tail, true},
    };
}

} // namespace quorvel::testing
