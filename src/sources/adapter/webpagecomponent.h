#pragma once

#include "acquisition/sensorreader.h"
#include "htmldocument.h"
#include "httpconnection.h"
#include "pagecomponent.h"
#include "runtime/timer.h"

#include <QByteArray>
#include <QHash>
#include <QString>
#include <QUrl>

#include <memory>

namespace quorvel::acquisition {

// Loads sensor pages over HTTP/1.1 with keep-alive (HttpConnection) and parses them with libxml2. Every
// navigation ends in exactly one completed(), with the page or with an error page, never from inside
// Navigate and never later than the deadline. The request target goes out exactly as the address text
// writes it; redirects are followed on the same host, port and scheme only.
class WebPageComponent final : public PageComponent {
    Q_OBJECT
public:
    static constexpr int DefaultTimeoutMs = DefaultNoAnswerAfterMs;
    static constexpr qint64 DefaultMaxBodyBytes = 1048576;
    static constexpr int MaxRedirects = 5;

    explicit WebPageComponent(QObject* parent = nullptr, int timeoutMs = DefaultTimeoutMs);
    ~WebPageComponent() override;

    void Navigate(const QString& url) override;
    [[nodiscard]] int ReadyState() const override { return state_; }
    [[nodiscard]] const PageDocument* Document() const override { return document_.get(); }
    [[nodiscard]] bool lastLoadGotAnswer() const override { return gotAnswer_; }

    // The current document with its concrete type, for the error reason.
    [[nodiscard]] const HtmlDocument* htmlDocument() const { return document_.get(); }

    // Whole-request deadline, from Navigate to completion; applies from the next navigation.
    void setTimeout(int ms);
    [[nodiscard]] int timeout() const { return timeoutMs_; }
    // Largest body accepted; a larger answer gives the error page.
    void setMaxBodySize(qint64 bytes);
    [[nodiscard]] qint64 maxBodySize() const { return maxBodyBytes_; }

    // Makes the sockets; tests substitute sockets that fail inside our own calls.
    using SocketFactory = HttpConnection::SocketFactory;
    void setSocketFactory(SocketFactory factory);
    // Replaces the timer that ends a load at its deadline (a test's own, fired by hand). Between loads.
    void setDeadlineTimer(std::unique_ptr<runtime::Timer> timer);

private:
    // A request to send on the kept-alive connection, or on a fresh one: where it goes, and its bytes.
    struct Request {
        QUrl url;
        QString host;
        int port = 0;
        QByteArray bytes;
    };
    [[nodiscard]] static Request requestFor(const QUrl& url, const QByteArray& target);
    void startRequest(const Request& request);
    void onAnswered();
    void onFailed(const QString& reason, bool answerStarted);
    void followRedirect(const HttpResponseParser& answer);
    void onDeadline();
    void failLater(const QString& reason);
    void fail(const QString& reason);
    void complete(HtmlDocument document);

    HttpConnection* http_;
    std::unique_ptr<runtime::Timer> deadline_;
    std::unique_ptr<HtmlDocument> document_;
    int timeoutMs_;
    qint64 maxBodyBytes_ = DefaultMaxBodyBytes;

    // The requests of the addresses navigated to, by address text. The cycle asks for the same few over
    // and over, and parsing an address and building its request took a sixth of the instructions the
    // headless cycle spends on a page.
    QHash<QString, Request> requests_;
    static constexpr qsizetype MaxKeptRequests = 64;

    // The navigation: its address, the request in flight and the redirects that led there.
    quint64 navigation_ = 0;
    QUrl originalUrl_;
    QUrl url_;
    int redirects_ = 0;
    bool answerPending_ = false; // some request of it got a status line
    bool inNavigate_ = false;

    // The last load, once complete.
    ReadyStateValue state_ = Uninitialized;
    bool gotAnswer_ = false;
    // A view asks for every page's rendering, the service for none: once one was asked for, each later
    // page is rendered as it is read, in one pass and within the read budget.
    bool renderAhead_ = false;
};

} // namespace quorvel::acquisition
