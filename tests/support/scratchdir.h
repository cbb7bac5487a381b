#pragma once

#include <QDir>
#include <QFile>
#include <QString>
#include <QTemporaryDir>

#include <memory>

namespace quorvel::testing {

// A private folder, removed with the object, under the test's own scratch root (QUORVEL_TEST_TMP, which
// the build gives each test; the system's temporary folder otherwise). name prefixes the folder's name.
[[nodiscard]] inline std::unique_ptr<QTemporaryDir> scratchDir(const QString& name)
{
    QString root = qEnvironmentVariable("QUORVEL_TEST_TMP");
    if (root.isEmpty())
        root = QDir::tempPath();
    QDir().mkpath(root);
    return std::make_unique<QTemporaryDir>(root + QLatin1Char('/') + name + QStringLiteral("-XXXXXX"));
}

// The whole of bytes written to path, or false.
inline bool writeFile(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

} // namespace quorvel::testing
