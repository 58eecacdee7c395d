#pragma once

#include <QByteArray>
#include <QMap>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <memory>
#include <optional>

class QProcess;

namespace kestrabo::test {

// A private D-Bus session bus and, unless told otherwise, a gnome-keyring-daemon on it with an
// unlocked default "login" collection. Nothing outside the object's temporary directory is
// used: the bus has no service directory (so nothing is ever activated, no prompter either)
// and the keyring lives under a private HOME and XDG directories. While the object lives,
// DBUS_SESSION_BUS_ADDRESS of this process names its bus; the previous value comes back
// afterwards. Both daemons are stopped by PID at destruction.
class SecretServiceFixture {
public:
    enum class Keyring { none, unlocked };

    struct StoredItem {
        QString label;
        QMap<QString, QString> attributes;
        bool locked = false;
        // Only read from unlocked items.
        std::optional<QByteArray> secret;
    };

    explicit SecretServiceFixture(Keyring keyring = Keyring::unlocked);
    ~SecretServiceFixture();
    SecretServiceFixture(const SecretServiceFixture&) = delete;
    SecretServiceFixture& operator=(const SecretServiceFixture&) = delete;

    // Empty when everything started; otherwise what went wrong.
    const QString& failure() const { return m_failure; }
    const QString& busAddress() const { return m_address; }
    QList<qint64> processIds() const;

    // Direct looks at the Secret Service, past the code under test. None of them unlocks or
    // prompts.
    QList<StoredItem> items(const QString& service, const QString& account) const;
    // Stores an item as another program would, under a schema name of its own.
    bool plantItem(const QString& service, const QString& account, const QByteArray& secret) const;
    bool lockDefaultCollection() const;
    std::optional<bool> defaultCollectionLocked() const;

private:
    struct Session;

    bool startBus();
    bool startKeyring();
    void stop(QProcess* process);

    QTemporaryDir m_directory;
    QString m_failure;
    QString m_address;
    std::optional<QByteArray> m_previousAddress;
    QProcess* m_bus = nullptr;
    QProcess* m_keyring = nullptr;
    std::unique_ptr<Session> m_session;
};

// The command line of a process as one string of its arguments, from /proc.
QString commandLineOf(qint64 pid);

} // namespace kestrabo::test
