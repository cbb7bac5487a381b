#pragma once

// Internal to quorvel_acquisition: the rest of the core sees pages through htmldocument.h only.

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

#include <libxml/parser.h>

#include <chrono>

namespace quorvel::acquisition {

// One page handed to libxml2's forgiving HTML parser a few kilobytes at a time, within a CPU budget: before
// each piece after the first the feed looks at the CPU time this thread has spent on the page, and past the
// budget it tells the parser the page has ended. The parser's own work is linear but dear on some shapes
// (a megabyte of table cells, stray end tags or unknown entities) and quadratic on one (a tag of many
// distinct attributes, each checked against all before it), and neither can be bounded by rules about the
// bytes, which an encoding libxml2 decodes itself gets round. The time spent can.
class PageFeed final {
public:
    // charset is the one named by the answer's Content-Type; empty lets libxml2 detect it.
    PageFeed(QByteArrayView page, const QByteArray& charset, std::chrono::milliseconds budget);
    ~PageFeed();
    PageFeed(const PageFeed&) = delete;
    PageFeed& operator=(const PageFeed&) = delete;

    // Parses the page, or as much of it as the budget allows, with the handlers `install` puts in place;
    // they find `handlers` in the parser context's _private. False where the parser could not be set up.
    // Element names the handlers were given stay valid until the feed is destroyed.
    bool parse(void (*install)(xmlSAXHandler*), void* handlers);

    // Whether the feed ended before the page did because the budget was spent.
    [[nodiscard]] bool overBudget() const { return overBudget_; }
    [[nodiscard]] QString overBudgetReason() const;

private:
    static int read(void* context, char* buffer, int length);
    [[nodiscard]] std::chrono::nanoseconds spent() const;

    QByteArrayView page_;
    QByteArray charset_;
    std::chrono::milliseconds budget_;
    std::chrono::nanoseconds start_;
    qsizetype offset_ = 0;
    xmlParserCtxtPtr ctxt_ = nullptr;
    bool overBudget_ = false;
};

} // namespace quorvel::acquisition
