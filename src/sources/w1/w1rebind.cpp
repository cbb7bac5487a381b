#include "w1rebind.h"

#include "w1tree.h"

#include <QDir>
#include <QFileInfo>
#include <QThread>

#include <memory>
#include <vector>

namespace quorvel::acquisition {

namespace {

// Only the event loop's thread starts and ends them, so this needs no lock. One still hung at exit stays to
// the end of the process, as a hung read's thread does.
std::vector<QThread*>& running()
{
    static std::vector<QThread*> threads;
    return threads;
}

} // namespace

QString rebindDevice(const QString& device)
{
    const QFileInfo entry(QDir::cleanPath(device));
    if (device.isEmpty() || entry.fileName().isEmpty())
        return QStringLiteral("no device named to rebind");
    const QByteArray name = QFile::encodeName(entry.fileName());
    for (const char* control : {"unbind", "bind"}) {
        const QString path = entry.path() + u'/' + QLatin1String(control);
        if (const int error = writeTreeFile(path, name); error != 0)
            return QStringLiteral("writing %1 to %2: %3").arg(entry.fileName(), path, errorWords(error));
    }
    return {};
}

bool startRebind(const QString& device, QObject* context, std::function<void(const QString&)> done)
{
    std::vector<QThread*>& threads = running();
    if (threads.size() >= MaxRebindThreads)
        return false;
    auto problem = std::make_shared<QString>();
    QThread* thread = QThread::create([device, problem] { *problem = rebindDevice(device); });
    thread->setObjectName(QStringLiteral("w1 rebind"));
    threads.push_back(thread);
    QObject::connect(thread, &QThread::finished, thread, [thread] {
        std::erase(running(), thread);
        thread->deleteLater();
    });
    QObject::connect(thread, &QThread::finished, context,
                     [problem, done = std::move(done)] { done(*problem); });
    thread->start();
    return true;
}

} // namespace quorvel::acquisition
