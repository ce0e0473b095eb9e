#include "ui/single_instance.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFileInfo>
#include <QLocalSocket>

namespace {

constexpr int CONNECT_TIMEOUT_MS = 2000;

QString CanonicalHome(const std::string& home) {
    const QString path = QString::fromStdString(home);
    const QString canonical = QFileInfo(path).canonicalFilePath();
    return canonical.isEmpty() ? QDir::cleanPath(QDir(path).absolutePath()) : canonical;
}

} // namespace

TSingleInstance::TSingleInstance(const std::string& home, QObject* parent)
    : QObject(parent), home_(CanonicalHome(home)),
      // Socket names are short: a hash of the path, not the path.
      server_name_(
          QStringLiteral("ktev-") +
          QString::fromLatin1(
              QCryptographicHash::hash(home_.toUtf8(), QCryptographicHash::Sha1).toHex().left(20))),
      lock_(home_ + QStringLiteral("/ktev.lock")) {
    // Only a dead holder makes a lock stale, never its age: a program runs for months.
    lock_.setStaleLockTime(0);
    connect(&server_, &QLocalServer::newConnection, this, [this] {
        while (QLocalSocket* socket = server_.nextPendingConnection()) {
            socket->close();
            socket->deleteLater();
            emit RaiseRequested();
        }
    });
}

bool TSingleInstance::Acquire(QString& error) {
    if (lock_.tryLock(0)) {
        // A socket left by a program that was killed would refuse the name.
        QLocalServer::removeServer(server_name_);
        if (!server_.listen(server_name_)) {
            // The lock alone keeps a second program away; only the raising is lost.
            error = server_.errorString();
        }
        return true;
    }
    if (lock_.error() != QLockFile::LockFailedError) {
        // An installed program started bare: its own folder is no home.
        error = QStringLiteral("файл блокировки %1/ktev.lock не создан: папка закрыта для "
                               "записи (другую папку задают --home или KTEV_HOME)")
                    .arg(home_);
        return false;
    }
    held_by_another_ = true;
    error = QStringLiteral("программа уже запущена с папкой %1").arg(home_);
    QLocalSocket socket;
    socket.connectToServer(server_name_);
    if (socket.waitForConnected(CONNECT_TIMEOUT_MS)) {
        socket.disconnectFromServer();
    }
    return false;
}
