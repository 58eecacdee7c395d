#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>

#include <functional>

class QLocalServer;

namespace kestrabo {

// One Kestrabo per user session: the first instance listens on a local socket in the session's
// runtime directory; later launches hand it one command line ("open", "toggle") and end.
class SingleInstance : public QObject {
    Q_OBJECT
public:
    explicit SingleInstance(QObject* parent = nullptr);
    ~SingleInstance() override;

    // $XDG_RUNTIME_DIR/kestrabo.socket, or a per-user name in the temporary directory.
    static QString socketPath();
    // Hands `command` to the running instance; false when none took it.
    static bool send(const QByteArray& command);

    // Becomes the running instance; false when another one answers or the socket cannot be made.
    bool listen();
    // Stops answering, so a relaunched instance does not find this one on its way out.
    void close();

    std::function<void(const QByteArray& command)> onCommand;

private:
    QLocalServer* m_server = nullptr;
};

} // namespace kestrabo
