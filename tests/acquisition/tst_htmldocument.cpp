#include "sources/adapter/htmldocument.h"
#include "hostilepages.h"

#include <QRandomGenerator>
#include <QRegularExpression>
#include <QSet>
#include <QtTest>

using quorvel::acquisition::HtmlDocument;

namespace {

const QByteArray sensorPage =
    "<HTML><HEAD><TITLE>DS18B20 Sensor 1</TITLE></HEAD><BODY><H3>1-Wire Sensor Reading</H3>\n"
    "<FORM NAME=Reading ACTION=\"/1Wire/ReadDS18B20.html\"><TABLE BORDER=1><TR><TD>ROM<TD>9C000000B4A89828\n"
    "<TR><TD>Temperature<TD><INPUT TYPE=TEXT ID=Temperature_0 NAME=Temperature_0 VALUE=\"23.5625\" SIZE=10 "
    "READONLY>\n</TABLE></FORM></BODY></HTML>\n";

QByteArray pseudoRandomBytes(int count, quint32 seed)
{
    QRandomGenerator generator(seed);
    QByteArray bytes(count, '\0');
    for (char& b : bytes)
        b = static_cast<char>(generator.bounded(256));
    return bytes;
}

const QString shortenedNote = QStringLiteral("The page was shortened for display.");

// Budgets that make a page's outcome independent of the machine's speed: none leaves the first piece
// only, an hour is no limit.
constexpr qint64 noBudget = 0;
constexpr qint64 unlimited = 3600 * 1000;
const QString refusedText = QStringLiteral("The page takes more than 0 ms to read, so it is not read");

// An input with id x, value 1 and `count` attributes in all, each name once.
QByteArray inputWithAttributes(int count)
{
    QByteArray html = "<INPUT ID=x VALUE=1";
    for (int i = 2; i < count; ++i)
        html += " a" + QByteArray::number(i);
    return html + ">";
}

} // namespace

class TestHtmlDocument : public QObject {
    Q_OBJECT
private slots:
    void elementValue_data();
    void elementValue();
    void charset_data();
    void charset();
    void hostileInput_data();
    void hostileInput();
    void displayHtml_data();
    void displayHtml();
    void errorPage();
};

void TestHtmlDocument::elementValue_data()
{
    QTest::addColumn<QByteArray>("html");
    QTest::addColumn<QString>("id");
    QTest::addColumn<bool>("found");
    QTest::addColumn<QString>("value");

    const QString t0 = QStringLiteral("Temperature_0");
    QTest::newRow("sensor page") << sensorPage << t0 << true << "23.5625";
    QTest::newRow("lower-case markup")
        << QByteArray("<input type=text id=\"Temperature_0\" value='21'>") << t0 << true << "21";
    QTest::newRow("mixed-case attribute name")
        << QByteArray("<Input Id=Temperature_0 VaLuE=-3.125>") << t0 << true << "-3.125";
    QTest::newRow("id value is case-sensitive")
        << QByteArray("<INPUT ID=temperature_0 VALUE=1>") << t0 << false << QString();
    QTest::newRow("id value must match whole")
        << QByteArray("<INPUT ID=Temperature_01 VALUE=1><INPUT ID=Temperature_ VALUE=2>") << t0 << false
        << QString();
    QTest::newRow("unclosed cells") << QByteArray(
                                           "<TABLE><TR><TD>a<TD><INPUT ID=Temperature_0 VALUE=5><TR><TD>b")
                                    << t0 << true << "5";
    QTest::newRow("input without value")
        << QByteArray("<INPUT ID=Temperature_0 SIZE=10>") << t0 << true << "";
    QTest::newRow("empty value") << QByteArray("<INPUT ID=Temperature_0 VALUE=\"\">") << t0 << true << "";
    QTest::newRow("blanks kept") << QByteArray("<INPUT ID=Temperature_0 VALUE=\" 23.5 \">") << t0 << true
                                 << " 23.5 ";
    QTest::newRow("dashes") << QByteArray("<INPUT ID=Temperature_0 VALUE=\"----\">") << t0 << true << "----";
    QTest::newRow("entity in value") << QByteArray("<INPUT ID=x VALUE=\"a&amp;b&lt;\">") << "x" << true
                                     << "a&b<";
    QTest::newRow("first of repeated attributes")
        << QByteArray("<INPUT ID=x VALUE=1 VALUE=2>") << "x" << true << "1";
    QTest::newRow("textarea") << QByteArray("<TEXTAREA ID=x>line 1\nline 2 </TEXTAREA>") << "x" << true
                              << "line 1\nline 2 ";
    QTest::newRow("textarea leading newline dropped once")
        << QByteArray("<TEXTAREA ID=x>\n\n a</TEXTAREA>") << "x" << true << "\n a";
    QTest::newRow("textarea empty") << QByteArray("<TEXTAREA ID=x></TEXTAREA>") << "x" << true << "";
    QTest::newRow("select with selected")
        << QByteArray("<SELECT ID=x><OPTION VALUE=a>A<OPTION VALUE=b SELECTED>B<OPTION VALUE=c>C</SELECT>")
        << "x" << true << "b";
    QTest::newRow("select without selected")
        << QByteArray("<SELECT ID=x><OPTION VALUE=a>A<OPTION VALUE=b>B</SELECT>") << "x" << true << "a";
    QTest::newRow("select: first of two selected")
        << QByteArray(
               "<SELECT ID=x><OPTION VALUE=a>A<OPTION SELECTED VALUE=b>B<OPTION SELECTED VALUE=c>C</SELECT>")
        << "x" << true << "b";
    QTest::newRow("select option text collapsed")
        << QByteArray("<SELECT ID=x><OPTION>\n  x \t  y  </OPTION></SELECT>") << "x" << true << "x y";
    QTest::newRow("select option in group")
        << QByteArray("<SELECT ID=x><OPTGROUP LABEL=g><OPTION VALUE=in>I</OPTGROUP></SELECT>") << "x" << true
        << "in";
    QTest::newRow("select: an option in an option, the outer first")
        << QByteArray("<SELECT ID=x><OPTION>out<B><OPTION>in</B></SELECT>") << "x" << true << "outin";
    // The parser ends an element whose start tag has no '>' without saying so.
    QTest::newRow("start tag cut short in a textarea")
        << QByteArray("<TEXTAREA ID=x>a<SPAN<BR>b</TEXTAREA>c") << "x" << true << "ab";
    QTest::newRow("empty select") << QByteArray("<SELECT ID=x></SELECT>") << "x" << true << "";
    QTest::newRow("option with value")
        << QByteArray("<SELECT><OPTION ID=x VALUE=\" v \">text</SELECT>") << "x" << true << " v ";
    QTest::newRow("option text keeps no-break space")
        << QByteArray("<SELECT><OPTION ID=x> a&nbsp;b </SELECT>") << "x" << true
        << QString::fromUtf8("a\u00a0b");
    QTest::newRow("button with value")
        << QByteArray("<BUTTON ID=x VALUE=go>Press</BUTTON>") << "x" << true << "go";
    QTest::newRow("button without value") << QByteArray("<BUTTON ID=x>Press</BUTTON>") << "x" << true << "";
    QTest::newRow("span has no value")
        << QByteArray("<SPAN ID=Temperature_0>23.5</SPAN>") << t0 << false << QString();
    QTest::newRow("cell has no value")
        << QByteArray("<TABLE><TR><TD ID=Temperature_0>23.5</TABLE>") << t0 << false << QString();
    QTest::newRow("missing element") << QByteArray("<HTML><BODY><P>No reading</BODY></HTML>") << t0 << false
                                     << QString();
    QTest::newRow("same id: first wins")
        << QByteArray("<INPUT ID=x VALUE=1><INPUT ID=x VALUE=2>") << "x" << true << "1";
    QTest::newRow("same id: first is a span")
        << QByteArray("<SPAN ID=x>1</SPAN><INPUT ID=x VALUE=2>") << "x" << false << QString();
    QTest::newRow("same id: parent before child")
        << QByteArray("<DIV ID=x><INPUT ID=x VALUE=2></DIV>") << "x" << false << QString();
    QTest::newRow("element in comment")
        << QByteArray("<!-- <INPUT ID=Temperature_0 VALUE=1> --><P>x") << t0 << false << QString();
    QTest::newRow("element in script text")
        << QByteArray("<SCRIPT>document.write('<INPUT ID=Temperature_0 VALUE=1>')</SCRIPT>") << t0 << false
        << QString();
    QTest::newRow("element after NULs")
        << QByteArray("<P>a\0\0b</P><INPUT ID=x VALUE=7>", 31) << "x" << true << "7";
    // The parser stops 256 levels down; that limit keeps it linear.
    // Many distinct attributes cost the parse their square; only the read budget refuses a page of them.
    QTest::newRow("500 distinct attributes past the first piece")
        << QByteArray(5000, ' ') + inputWithAttributes(500) << "x" << true << "1";
    // The page reaches the parser a few kilobytes at a time: a reference cut by a piece's end in a long
    // value would be read as text.
    QTest::newRow("references across pieces")
        << "<INPUT ID=x VALUE=\"" + QByteArray("&#65;bc").repeated(5000) + "\">"
        << "x" << true << QString(QStringLiteral("Abc").repeated(5000));
    QTest::newRow("500 repeats of one name") << "<INPUT ID=x VALUE=1" + QByteArray(" A=1").repeated(500) + ">"
                                             << "x" << true << "1";
    QTest::newRow("200 levels down") << QByteArray("<DIV>").repeated(200) + "<INPUT ID=x VALUE=8>"
                                     << "x" << true << "8";
    QTest::newRow("300 levels down") << QByteArray("<DIV>").repeated(300) + "<INPUT ID=x VALUE=8>"
                                     << "x" << false << QString();
    // Past what the view can show, the tree keeps only what a lookup can reach; the lookups stay whole.
    const QByteArray beyondView = QByteArray("<BR>x").repeated(3000);
    QTest::newRow("select past the view")
        << beyondView +
               "<SELECT ID=x><OPTION VALUE=a>A<OPTGROUP><OPTION SELECTED>\n B <BR>c</OPTGROUP></SELECT>"
        << "x" << true << "B c";
    QTest::newRow("textarea past the view") << beyondView + "<TEXTAREA ID=x>a<B>b</B>\n<!-- c -->d</TEXTAREA>"
                                            << "x" << true << "ab\nd";
    QTest::newRow("same id past the view: parent first")
        << beyondView + "<DIV ID=x><P><INPUT ID=x VALUE=2></DIV>"
        << "x" << false << QString();
}

void TestHtmlDocument::elementValue()
{
    QFETCH(QByteArray, html);
    QFETCH(QString, id);
    QFETCH(bool, found);
    QFETCH(QString, value);

    const HtmlDocument document(html);
    const std::optional<QString> result = document.elementValue(id);
    QCOMPARE(result.has_value(), found);
    if (found)
        QCOMPARE(*result, value);
}

void TestHtmlDocument::charset_data()
{
    QTest::addColumn<QByteArray>("html");
    QTest::addColumn<QByteArray>("charset");
    QTest::addColumn<QString>("value");

    const QString degrees = QString::fromUtf8("21\u00b0C");
    QTest::newRow("utf-8 detected") << QByteArray("<INPUT ID=x VALUE=\"21\xc2\xb0"
                                                  "C\">")
                                    << QByteArray() << degrees;
    QTest::newRow("latin-1 from content type") << QByteArray("<INPUT ID=x VALUE=\"21\xb0"
                                                             "C\">")
                                               << QByteArray("ISO-8859-1") << degrees;
    QTest::newRow("latin-1 from meta")
        << QByteArray("<HTML><HEAD><META HTTP-EQUIV=Content-Type CONTENT=\"text/html; charset=ISO-8859-1\">"
                      "</HEAD><BODY><INPUT ID=x VALUE=\"21\xb0"
                      "C\">")
        << QByteArray() << degrees;
    QTest::newRow("content type wins over meta")
        << QByteArray("<HTML><HEAD><META HTTP-EQUIV=Content-Type CONTENT=\"text/html; charset=ISO-8859-1\">"
                      "</HEAD><BODY><INPUT ID=x VALUE=\"21\xc2\xb0"
                      "C\">")
        << QByteArray("utf-8") << degrees;
    // Read whole as UTF-16, as its byte order mark says, though longer than a piece of the parser's input.
    const QString utf16Page = QStringLiteral("<HTML><HEAD><META CHARSET=ISO-8859-1></HEAD><BODY>") +
                              QString(5000, u' ') + QStringLiteral("<INPUT ID=x VALUE=\"") + degrees +
                              QStringLiteral("\">");
    QTest::newRow("byte order mark wins over meta")
        << QByteArray("\xff\xfe") +
               QByteArray(reinterpret_cast<const char*>(utf16Page.utf16()), utf16Page.size() * 2)
        << QByteArray() << degrees;
    QTest::newRow("unknown charset ignored")
        << QByteArray("<INPUT ID=x VALUE=\"23.5\">") << QByteArray("x-no-such-charset") << "23.5";
}

void TestHtmlDocument::charset()
{
    QFETCH(QByteArray, html);
    QFETCH(QByteArray, charset);
    QFETCH(QString, value);

    const HtmlDocument document(html, charset);
    QCOMPARE(document.elementValue(QStringLiteral("x")), std::optional<QString>(value));
}

void TestHtmlDocument::hostileInput_data()
{
    QTest::addColumn<QByteArray>("html");
    QTest::addColumn<QByteArray>("charset");

    QTest::newRow("empty") << QByteArray() << QByteArray();
    QTest::newRow("only NULs") << QByteArray(64, '\0') << QByteArray();
    QTest::newRow("random bytes") << pseudoRandomBytes(300, 1) << QByteArray();
    QTest::newRow("random bytes as utf-8") << pseudoRandomBytes(4096, 2) << QByteArray("utf-8");
    QTest::newRow("invalid utf-8 in markup")
        << QByteArray("<P ID=\"\xff\xfe\">\xc3\x28\xa0\xa1<INPUT ID=y VALUE=\"\xf0\x28\x8c\xbc\">")
        << QByteArray("utf-8");
    QTest::newRow("unterminated everything")
        << QByteArray("<INPUT ID=\"Temperature_0 VALUE=\"1<!--<TABLE<TD") << QByteArray();
    QTest::newRow("deeply nested divs") << QByteArray("<DIV>").repeated(1048576 / 5) << QByteArray();
    QTest::newRow("deeply nested tables")
        << QByteArray("<TABLE><TR><TD>").repeated(1048576 / 15) << QByteArray();
    QTest::newRow("deeply nested inline") << QByteArray("<B><I>").repeated(1048576 / 6) << QByteArray();
    QTest::newRow("many attributes") << "<INPUT " + QByteArray("A=1 ").repeated(1048576 / 4) + ">"
                                     << QByteArray();
}

// The input holds no Temperature_0 element that could be read: whatever the parser makes of it, the
// lookup must say so and the rendering must stay within the whitelist.
void TestHtmlDocument::hostileInput()
{
    QFETCH(QByteArray, html);
    QFETCH(QByteArray, charset);

    // A real element in front shows that the rest did not stop the parse of what came before.
    const QByteArray page = "<INPUT ID=before VALUE=ok>" + html;
    const HtmlDocument document(page, charset, std::chrono::milliseconds(unlimited));
    QCOMPARE(document.elementValue(QStringLiteral("before")), std::optional<QString>(QStringLiteral("ok")));
    QCOMPARE(document.elementValue(QStringLiteral("Temperature_0")), std::nullopt);

    const HtmlDocument bare(html, charset, std::chrono::milliseconds(unlimited));
    QCOMPARE(bare.elementValue(QStringLiteral("Temperature_0")), std::nullopt);
    const QString rendered = bare.displayHtml();
    QVERIFY(rendered.startsWith(QStringLiteral("<html><body>")));
    QVERIFY(rendered.endsWith(QStringLiteral("</body></html>")));
    QVERIFY(!rendered.contains(QStringLiteral("<script"), Qt::CaseInsensitive));
}

void TestHtmlDocument::displayHtml_data()
{
    QTest::addColumn<QByteArray>("html");
    QTest::addColumn<QStringList>("mustContain");
    QTest::addColumn<QStringList>("mustNotContain");
    QTest::addColumn<QString>("reading"); // of Temperature_0; null: none expected
    QTest::addColumn<qint64>("budget");   // ms

    QTest::newRow("sensor page") << sensorPage
                                 << QStringList{"<h3>1-Wire Sensor Reading</h3>", "<table border=\"1\">",
                                                "<td>9C000000B4A89828", "[23.5625]"}
                                 << QStringList{"<form", "action", "name=", "<input", "Sensor 1</"}
                                 << QString() << unlimited;
    QTest::newRow("script and style dropped")
        << QByteArray("<SCRIPT>alert(1)</SCRIPT><STYLE>p{color:red}</STYLE><P>text")
        << QStringList{"<p>text</p>"} << QStringList{"<script", "alert", "color", "<style"} << QString()
        << unlimited;
    QTest::newRow("link becomes text")
        << QByteArray("<A HREF=\"http://127.0.0.1:8080/x\" TARGET=_blank>go <B>here</B></A>")
        << QStringList{"go <b>here</b>"} << QStringList{"href", "127.0.0.1", "<a", "_blank"} << QString()
        << unlimited;
    QTest::newRow("image as text") << QByteArray("<P>x<IMG SRC=\"logo.png\" ALT=logo>y")
                                   << QStringList{"<p>x[image]y</p>"} << QStringList{"logo", "src"}
                                   << QString() << unlimited;
    QTest::newRow("embedded content dropped")
        << QByteArray("<IFRAME SRC=a.html>in frame</IFRAME><OBJECT DATA=b.swf><PARAM NAME=m VALUE=n>fallback"
                      "</OBJECT><EMBED SRC=c.swf><APPLET CODE=d>applet</APPLET><P>after")
        << QStringList{"<p>after</p>"}
        << QStringList{"in frame", "fallback", "applet", ".swf", "a.html", "<iframe", "<object", "<embed"}
        << QString() << unlimited;
    QTest::newRow("attributes stripped")
        << QByteArray("<P STYLE=\"background:url(x.png)\" ONCLICK=\"go()\" CLASS=c ID=i ALIGN=CENTER>t</P>")
        << QStringList{"<p align=\"center\">t</p>"} << QStringList{"style", "onclick", "url(", "class", "id="}
        << QString() << unlimited;
    QTest::newRow("whitelisted attribute values checked")
        << QByteArray("<TABLE BORDER=\"1 onload=x\" CELLPADDING=4><TR><TD COLSPAN=2 ROWSPAN=\"x\" "
                      "VALIGN=javascript:x>c</TABLE>")
        << QStringList{"<table cellpadding=\"4\">", "<td colspan=\"2\">c</td>"}
        << QStringList{"onload", "rowspan", "valign", "javascript", "border"} << QString() << unlimited;
    QTest::newRow("meta refresh dropped")
        << QByteArray("<HEAD><META HTTP-EQUIV=refresh CONTENT=\"0;url=http://127.0.0.1/\"><BASE HREF=/b/>"
                      "<LINK REL=stylesheet HREF=s.css><TITLE>Secret title</TITLE></HEAD><BODY>b")
        << QStringList{"b</body>"} << QStringList{"url=", "127.0.0.1", "s.css", "Secret title", "<meta"}
        << QString() << unlimited;
    QTest::newRow("text escaped") << QByteArray("<P>&lt;script&gt;x&lt;/script&gt; a &amp; b \"q\"</P>")
                                  << QStringList{"&lt;script&gt;x&lt;/script&gt; a &amp; b &quot;q&quot;"}
                                  << QStringList{"<script"} << QString() << unlimited;
    QTest::newRow("value escaped") << QByteArray("<INPUT VALUE=\"<b>&quot;x\">")
                                   << QStringList{"[&lt;b&gt;&quot;x]"} << QStringList{"<b>"} << QString()
                                   << unlimited;
    QTest::newRow("unclosed inline closed in order")
        << QByteArray("<P><B>bold<I>both") << QStringList{"<p><b>bold<i>both</i></b></p>"} << QStringList{}
        << QString() << unlimited;
    QTest::newRow("comment dropped") << QByteArray("<P>a<!-- hidden -->b") << QStringList{"<p>ab</p>"}
                                     << QStringList{"hidden", "<!--"} << QString() << unlimited;
    QTest::newRow("pre and lists") << QByteArray("<PRE>a  b</PRE><UL><LI>one<LI>two</UL><BR>")
                                   << QStringList{"<pre>a  b</pre>", "<ul><li>one</li><li>two</li></ul>",
                                                  "<br>"}
                                   << QStringList{"</br>"} << QString() << unlimited;
    QTest::newRow("controls")
        << QByteArray("<TEXTAREA>\nhello\nworld</TEXTAREA><SELECT><OPTION VALUE=1>First<OPTION VALUE=2 "
                      "SELECTED>Second</SELECT><INPUT TYPE=hidden VALUE=hiddenvalue><INPUT TYPE=checkbox "
                      "CHECKED><INPUT TYPE=password VALUE=abc><BUTTON>Press <B>me</B></BUTTON>")
        << QStringList{"[hello<br>world]", "[Second]", "[x]", "[***]", "[Press me]"}
        << QStringList{"hiddenvalue", "abc", "First", "<textarea", "<select", "<option", "<button"}
        << QString() << unlimited;

    // Shown whole, each of these stalls the view's layout; the view gets a bounded part and the note.
    // Read whole, the last one stalls the parse: the read budget refuses it, and the view says why.
    for (const quorvel::testing::HostilePage& page : quorvel::testing::hostilePages()) {
        if (page.refused)
            QTest::newRow(qPrintable(page.name))
                << page.html << QStringList{refusedText} << QStringList{} << QString() << noBudget;
        else
            QTest::newRow(qPrintable(page.name))
                << page.html << (page.shortened ? QStringList{shortenedNote} : QStringList{}) << QStringList{}
                << QString::fromLatin1(quorvel::testing::HostileReading) << unlimited;
    }
    // An adapter's page reaches the parser in one piece, which is read whatever the budget.
    const QByteArray adapterPage =
        sensorPage + "<!--" + QByteArray(2048 - sensorPage.size() - 7, '.') + "-->";
    QTest::newRow("adapter page of 2 KB, no budget")
        << adapterPage << QStringList{"[23.5625]"} << QStringList{} << "23.5625" << noBudget;
}

void TestHtmlDocument::displayHtml()
{
    QFETCH(QByteArray, html);
    QFETCH(QStringList, mustContain);
    QFETCH(QStringList, mustNotContain);
    QFETCH(QString, reading);
    QFETCH(qint64, budget);

    const HtmlDocument document(html, {}, std::chrono::milliseconds(budget));
    if (!reading.isNull())
        QCOMPARE(document.elementValue(QStringLiteral("Temperature_0")), std::optional<QString>(reading));
    QVERIFY(!document.rendered());
    const QString rendered = document.displayHtml();
    QVERIFY(document.rendered());
    // Rendered on demand or as it is read, a page shows the same.
    const HtmlDocument ahead(html, {}, std::chrono::milliseconds(budget), HtmlDocument::Rendering::Ahead);
    QCOMPARE(ahead.displayHtml(), rendered);
    if (!mustContain.contains(shortenedNote))
        QVERIFY(!rendered.contains(shortenedNote));
    for (const QString& fragment : mustContain)
        QVERIFY2(rendered.contains(fragment),
                 qPrintable(fragment + QStringLiteral(" missing in ") + rendered));
    for (const QString& fragment : mustNotContain)
        QVERIFY2(!rendered.contains(fragment, Qt::CaseInsensitive),
                 qPrintable(fragment + QStringLiteral(" found in ") + rendered));

    // Whatever the page, only whitelisted tags and attributes come out.
    static const QSet<QString> tags{
        "html",       "body", "h1",    "h2",      "h3",    "h4",    "h5",    "h6", "p",  "div",
        "blockquote", "pre",  "table", "caption", "thead", "tbody", "tfoot", "tr", "td", "th",
        "ul",         "ol",   "li",    "dl",      "dt",    "dd",    "b",     "i",  "u",  "strong",
        "em",         "tt",   "code",  "sub",     "sup",   "small", "big",   "s",  "br", "hr"};
    static const QSet<QString> attributes{"border",  "cellpadding", "cellspacing", "colspan",
                                          "rowspan", "align",       "valign"};
    static const QRegularExpression tagPattern(QStringLiteral("<(/?)([^\\s>/]*)([^>]*)>"));
    static const QRegularExpression attributePattern(QStringLiteral("\\s([a-z]+)=\"([a-z0-9]*)\""));
    // Whatever the page, the view gets a bounded amount: html and body, the note's two elements and at
    // most 2,000 of the page's, nested at most 16 deep inside body, at most 100 table cells and at most
    // 16 KiB of text.
    qsizetype elements = 0;
    qsizetype cells = 0;
    qsizetype depth = 0;
    qsizetype maxDepth = 0;
    static const QRegularExpression escaped(QStringLiteral("&[a-z]+;"));
    const qsizetype text = QString(rendered).remove(tagPattern).replace(escaped, QStringLiteral("x")).size();
    QVERIFY2(text <= 16 * 1024 + shortenedNote.size(), qPrintable(QString::number(text)));
    for (auto tag = tagPattern.globalMatch(rendered); tag.hasNext();) {
        const QRegularExpressionMatch match = tag.next();
        const bool isVoid = match.captured(2) == u"br" || match.captured(2) == u"hr";
        if (match.captured(1).isEmpty()) {
            ++elements;
            cells += match.captured(2) == u"td" || match.captured(2) == u"th" ? 1 : 0;
            if (!isVoid)
                maxDepth = std::max(maxDepth, ++depth);
        } else {
            --depth;
        }
        QVERIFY2(tags.contains(match.captured(2)), qPrintable(match.captured(0)));
        QString rest = match.captured(3);
        for (auto attr = attributePattern.globalMatch(rest); attr.hasNext();)
            QVERIFY2(attributes.contains(attr.next().captured(1)), qPrintable(match.captured(0)));
        rest.remove(attributePattern);
        QVERIFY2(rest.isEmpty(), qPrintable(match.captured(0)));
    }
    QVERIFY2(elements <= 2000 + 4, qPrintable(QString::number(elements)));
    QVERIFY2(cells <= 100, qPrintable(QString::number(cells)));
    QVERIFY2(maxDepth <= 16 + 2, qPrintable(QString::number(maxDepth)));
    QCOMPARE(depth, 0);
}

void TestHtmlDocument::errorPage()
{
    const HtmlDocument page = HtmlDocument::errorPage(QStringLiteral("HTTP 500 <Internal> Server Error"));
    QCOMPARE(page.errorReason(), std::optional<QString>(QStringLiteral("HTTP 500 <Internal> Server Error")));
    QCOMPARE(page.elementValue(QStringLiteral("Temperature_0")), std::nullopt);
    const QString rendered = page.displayHtml();
    QVERIFY(rendered.contains(QStringLiteral("The page cannot be displayed")));
    QVERIFY(rendered.contains(QStringLiteral("HTTP 500 &lt;Internal&gt; Server Error")));

    QCOMPARE(HtmlDocument(sensorPage).errorReason(), std::nullopt);
}

QTEST_GUILESS_MAIN(TestHtmlDocument)
#include "tst_htmldocument.moc"
