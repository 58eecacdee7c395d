#pragma once

#include <QList>
#include <QProcess>
#include <QTemporaryDir>

#include <memory>
#include <optional>

namespace kestrabo::test {

// A private D-Bus session bus and, unless told otherwise, gnome-keyring-daemon on it with an
// unlocked default collection. The bus has no service directory, so nothing is ever activated
// (no prompter either); the keyring lives under a private HOME. While the object lives,
// DBUS_SESSION_BUS_ADDRESS names its bus; the previous value comes back afterwards. Both
// daemons are stopped by PID at destruction.
class SecretServiceFixture {
public:
    enum class Keyring { none, unlocked };

    struct StoredItem {
        QString label;
        bool locked = false;
        // Only read from unlocked items.
        std::optional<QByteArray> secret;
    };

    explicit SecretServiceFixture(Keyring keyring = Keyring::unlocked);
    ~SecretServiceFixture();

    // Empty when everything started; otherwise what went wrong.
    const QString& failure() const { return m_failure; }

    // Direct looks at the Secret Service, past the code under test; none unlocks or prompts.
    // Items are matched by their "service" and "account" attributes.
    QList<StoredItem> items(const QString& service, const QString& account) const;
    // Stores an item as another program would, without a schema.
    bool plantItem(const QString& service, const QString& account, const QByteArray& secret) const;
    bool lockDefaultCollection() const;

    enum class Daemon { keyring, bus };
    long long pid(Daemon daemon) const;
    // Ends one daemon at once (SIGKILL), as a crash would, and waits until it is reaped; its PID.
    long long kill(Daemon daemon);

private:
    QString start(Keyring keyring);

    QTemporaryDir m_directory;
    QString m_failure;
    std::optional<QByteArray> m_previousAddress;
    std::unique_ptr<QProcess> m_bus;
    std::unique_ptr<QProcess> m_keyring;
};

} // namespace kestrabo::test
