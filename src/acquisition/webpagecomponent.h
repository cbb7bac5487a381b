#pragma once

#include "acquisition/htmldocument.h"
#include "acquisition/pagecomponent.h"

#include <QByteArray>
#include <QPointer>
#include <QUrl>

#include <memory>

class QNetworkAccessManager;
class QNetworkReply;
class QTimer;

namespace quorvel::acquisition {

// Loads sensor pages over HTTP/1.1 with keep-alive and parses them with libxml2. Every navigation ends
// in exactly one completed(), with the page or with an error page, never later than the deadline.
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

private:
    void startRequest(const QUrl& url);
    void onMetaDataChanged(QNetworkReply* reply);
    void onReadyRead(QNetworkReply* reply);
    void onFinished(QNetworkReply* reply);
    void onDeadline();
    bool appendBody(QNetworkReply* reply);
    void followRedirect(QNetworkReply* reply);
    void abandonReply();
    void failLater(const QString& reason);
    void fail(const QString& reason);
    void complete(HtmlDocument document);
    [[nodiscard]] QString oversizeReason() const;

    QNetworkAccessManager* m_network;
    QTimer* m_deadline;
    QPointer<QNetworkReply> m_reply;
    std::unique_ptr<HtmlDocument> m_document;
    QUrl m_originalUrl;
    QByteArray m_body;
    int m_timeoutMs;
    qint64 m_maxBodyBytes = defaultMaxBodyBytes;
    int m_redirects = 0;
    quint64 m_navigation = 0;
    ReadyStateValue m_state = Uninitialized;
    bool m_gotAnswer = false;
    bool m_answerPending = false;
};

} // namespace quorvel::acquisition
