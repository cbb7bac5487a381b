#pragma once

#include "acquisition/htmldocument.h"
#include "acquisition/httpconnection.h"
#include "acquisition/pagecomponent.h"

#include <QByteArray>
#include <QUrl>

#include <memory>

class QTimer;

namespace quorvel::acquisition {

// Loads sensor pages over HTTP/1.1 with keep-alive (HttpConnection) and parses them with libxml2. Every
// navigation ends in exactly one completed(), with the page or with an error page, never from inside
// Navigate and never later than the deadline. The request target goes out exactly as the address text
// writes it; redirects are followed on the same host, port and scheme only.
class WebPageComponent final : public PageComponent {
    Q_OBJECT
public:
    static constexpr int defaultTimeoutMs = 10000;
    static constexpr qint64 defaultMaxBodyBytes = 1048576;
    static constexpr int maxRedirects = 5;

    explicit WebPageComponent(QObject* parent = nullptr, int timeoutMs = defaultTimeoutMs);
    ~WebPageComponent() override;

    void Navigate(const QString& url) override;
    [[nodiscard]] int ReadyState() const override { return m_state; }
    [[nodiscard]] const PageDocument* Document() const override { return m_document.get(); }
    [[nodiscard]] bool lastLoadGotAnswer() const override { return m_gotAnswer; }

    // The current document with its concrete type, for the error reason.
    [[nodiscard]] const HtmlDocument* htmlDocument() const { return m_document.get(); }

    // Whole-request deadline, from Navigate to completion; applies from the next navigation.
    void setTimeout(int ms);
    [[nodiscard]] int timeout() const { return m_timeoutMs; }
    // Largest body accepted; a larger answer gives the error page.
    void setMaxBodySize(qint64 bytes);
    [[nodiscard]] qint64 maxBodySize() const { return m_maxBodyBytes; }

    // Makes the sockets; tests substitute sockets that fail inside our own calls.
    using SocketFactory = HttpConnection::SocketFactory;
    void setSocketFactory(SocketFactory factory);

private:
    // A request target to send on the kept-alive connection, or on a fresh one.
    void startRequest(const QUrl& url, const QByteArray& target);
    void onAnswered();
    void onFailed(const QString& reason, bool answerStarted);
    void followRedirect(const HttpResponseParser& answer);
    void onDeadline();
    void failLater(const QString& reason);
    void fail(const QString& reason);
    void complete(HtmlDocument document);

    HttpConnection* m_http;
    QTimer* m_deadline;
    std::unique_ptr<HtmlDocument> m_document;
    int m_timeoutMs;
    qint64 m_maxBodyBytes = defaultMaxBodyBytes;

    // The navigation: its address, the request in flight and the redirects that led there.
    quint64 m_navigation = 0;
    QUrl m_originalUrl;
    QUrl m_url;
    int m_redirects = 0;
    bool m_answerPending = false; // some request of it got a status line
    bool m_inNavigate = false;

    // The last load, once complete.
    ReadyStateValue m_state = Uninitialized;
    bool m_gotAnswer = false;
};

} // namespace quorvel::acquisition
