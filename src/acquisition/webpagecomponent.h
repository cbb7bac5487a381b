#pragma once

#include "acquisition/htmldocument.h"
#include "acquisition/httpresponseparser.h"
#include "acquisition/pagecomponent.h"

#include <QAbstractSocket>
#include <QByteArray>
#include <QList>
#include <QUrl>

#include <functional>
#include <memory>
#include <utility>

class QTcpSocket;
class QTimer;

namespace quorvel::acquisition {

// Loads sensor pages over HTTP/1.1 with keep-alive and parses them with libxml2. Every navigation ends
// in exactly one completed(), with the page or with an error page, never later than the deadline.
// One connection at a time, driven by the socket's signals in the caller's thread: the request target
// goes out exactly as the address text writes it. A socket may signal from inside a call of ours (a
// connect that fails at once, a write, an abort); such a signal is handled only after that call has
// returned, so no handler ever drops or resets state that a caller on the stack still uses.
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
    using SocketFactory = std::function<QTcpSocket*(QObject* parent)>;
    void setSocketFactory(SocketFactory factory);

private:
    using Handler = void (WebPageComponent::*)();
    // Marks a call of ours on the stack for as long as it lives.
    class Busy {
    public:
        explicit Busy(WebPageComponent& page);
        ~Busy();
        Busy(const Busy&) = delete;
        Busy& operator=(const Busy&) = delete;

    private:
        WebPageComponent& m_page;
    };

    void onSocketSignal(quint64 connection, Handler handler);
    void runDeferredSignals();
    // A request target to send on the current connection, or on a fresh one.
    void startRequest(const QUrl& url, const QByteArray& target);
    void openConnection();
    void sendRequest();
    void onConnected();
    void onReadyRead();
    void onConnectionEnded();
    bool readAnswer(const QByteArray& bytes);
    void finishAnswer(bool connectionUsable);
    void followRedirect();
    void onDeadline();
    void dropConnection();
    void abandonRequest();
    void failLater(const QString& reason);
    void fail(const QString& reason);
    void complete(HtmlDocument document);
    [[nodiscard]] QString oversizeReason() const;
    [[nodiscard]] static QString connectionErrorReason(QAbstractSocket::SocketError error,
                                                       const QString& text);

    QTcpSocket* m_socket = nullptr;
    quint64 m_connection = 0; // numbers m_socket; a signal of an older one is stale
    quint64 m_lastConnection = 0;
    int m_busy = 0; // calls of ours on the stack
    QList<std::pair<quint64, Handler>> m_deferred;
    bool m_deferredPosted = false;
    SocketFactory m_socketFactory;
    QTimer* m_deadline;
    HttpResponseParser m_parser;
    std::unique_ptr<HtmlDocument> m_document;
    QUrl m_originalUrl;
    QUrl m_url;           // of the request in flight
    QByteArray m_request; // its bytes, kept for the one retry
    QString m_socketHost; // where m_socket is connected, lower case
    int m_socketPort = 0;
    int m_timeoutMs;
    qint64 m_maxBodyBytes = defaultMaxBodyBytes;
    int m_redirects = 0;
    quint64 m_navigation = 0;
    ReadyStateValue m_state = Uninitialized;
    bool m_gotAnswer = false;
    bool m_answerPending = false;
    bool m_inFlight = false;     // a request was sent and its answer is not complete
    bool m_socketServed = false; // m_socket already carried a whole answer
    bool m_reusedSocket = false; // the request in flight went out on a kept-alive connection
    bool m_answerBytes = false;  // any byte of the answer to the request in flight arrived
    bool m_retried = false;
    bool m_inNavigate = false;
};

} // namespace quorvel::acquisition
