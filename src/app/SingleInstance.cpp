#include "app/SingleInstance.h"

#include <QDir>
#include <QFile>
#include <QLocalServer>
#include <QLocalSocket>

#include <cerrno>
#include <cstring>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace kestrabo {

namespace {

constexpr qsizetype kMaxCommand = 64;

} // namespace

SingleInstance::SingleInstance(QObject* parent) : QObject(parent) {}

SingleInstance::~SingleInstance()
{
    close();
}

QString SingleInstance::socketPath()
{
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (!runtime.isEmpty() && QDir(runtime).exists())
        return QDir(runtime).filePath(QStringLiteral("kestrabo.socket"));
    return QDir(QDir::tempPath()).filePath(QStringLiteral("kestrabo-%1.socket").arg(::getuid()));
}

// Plain POSIX, so a launch that only passes a command on needs no application object.
bool SingleInstance::send(const QByteArray& command)
{
    const QByteArray path = QFile::encodeName(socketPath());
    sockaddr_un address{};
    if (path.size() >= qsizetype(sizeof(address.sun_path)))
        return false;
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.constData(), size_t(path.size()));
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    bool sent = ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == 0;
    const QByteArray line = command + '\n';
    qsizetype written = 0;
    while (sent && written < line.size()) {
        const ssize_t n = ::send(fd, line.constData() + written, size_t(line.size() - written), MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        sent = n > 0;
        written += n > 0 ? n : 0;
    }
    ::close(fd);
    return sent;
}

bool SingleInstance::listen()
{
    close();
    const QString path = socketPath();
    m_server = new QLocalServer(this);
    m_server->setSocketOptions(QLocalServer::UserAccessOption);
    if (!m_server->listen(path)) {
        // A socket nobody answers on is left over from an instance that ended abruptly.
        if (m_server->serverError() != QAbstractSocket::AddressInUseError || send(QByteArrayLiteral("ping"))
            || !QLocalServer::removeServer(path) || !m_server->listen(path)) {
            delete m_server;
            m_server = nullptr;
            return false;
        }
    }
    connect(m_server, &QLocalServer::newConnection, this, [this] {
        while (QLocalSocket* socket = m_server->nextPendingConnection()) {
            connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
            connect(socket, &QLocalSocket::readyRead, this, [this, socket] {
                while (socket->canReadLine()) {
                    const QByteArray command = socket->readLine(kMaxCommand + 1).trimmed();
                    if (onCommand)
                        onCommand(command);
                }
                if (socket->bytesAvailable() > kMaxCommand)
                    socket->abort();
            });
        }
    });
    return true;
}

void SingleInstance::close()
{
    if (!m_server)
        return;
    m_server->close();
    delete m_server;
    m_server = nullptr;
}

} // namespace kestrabo
