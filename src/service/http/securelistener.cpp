#include "service/http/securelistener.h"

#include "service/http/basicauth.h"
#include "service/http/httplistener.h"
#include "service/http/webconfig.h"

#include <QSslConfiguration>
#include <QSslKey>

namespace quorvel::service {

bool secureListener(HttpListener& listener, const WebConfig& config, const QByteArray& realm)
{
    const bool tls = !config.certFile.isEmpty();
    if (tls) {
        QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
        configuration.setLocalCertificateChain(config.chain);
        configuration.setPrivateKey(config.key);
        configuration.setPeerVerifyMode(QSslSocket::VerifyNone);
        configuration.setProtocol(QSsl::TlsV1_2OrLater);
        listener.setTls(configuration);
    }
    if (!config.users.isEmpty()) {
        auto* auth = new BasicAuth(config.users, &listener);
        listener.setAuthorization([auth](const QByteArray& header,
                                         const QHostAddress& peer) { return auth->verdict(header, peer); },
                                  realm);
        QObject::connect(auth, &BasicAuth::checked, &listener, &HttpListener::resumeWaiting);
    }
    return tls;
}

} // namespace quorvel::service
