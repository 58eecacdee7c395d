#include "support/SecretServiceFixture.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QThread>

#include <libsecret/secret.h>

#include <signal.h>
#include <sys/prctl.h>

namespace kestrabo::test {

namespace {

constexpr int kStartTimeoutMs = 30'000;

const char kBusConfig[] = "<busconfig><type>session</type><listen>unix:path=%1</listen><auth>EXTERNAL</auth>"
                          "<policy context=\"default\"><allow send_destination=\"*\" eavesdrop=\"true\"/>"
                          "<allow eavesdrop=\"true\"/><allow own=\"*\"/></policy></busconfig>";

// A daemon must not outlive a test process that crashed.
const auto dieWithParent = [] { ::prctl(PR_SET_PDEATHSIG, SIGTERM); };

GHashTable* attributesFor(const QString& service, const QString& account)
{
    GHashTable* table = g_hash_table_new_full(g_str_hash, g_str_equal, nullptr, g_free);
    g_hash_table_insert(table, const_cast<char*>("service"), g_strdup(service.toUtf8().constData()));
    g_hash_table_insert(table, const_cast<char*>("account"), g_strdup(account.toUtf8().constData()));
    return table;
}

// A new Secret Service proxy per look, on the process's session bus (the fixture's): nothing
// cached outlives the look, so every property read is fresh.
SecretService* openService()
{
    g_autoptr(GDBusConnection) bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr);
    if (!bus)
        return nullptr;
    // Stopping the bus must not terminate the test.
    g_dbus_connection_set_exit_on_close(bus, FALSE);
    return secret_service_open_sync(SECRET_TYPE_SERVICE, nullptr, SECRET_SERVICE_NONE, nullptr, nullptr);
}

SecretCollection* defaultCollection(SecretService* service)
{
    return service ? secret_collection_for_alias_sync(service, SECRET_COLLECTION_DEFAULT, SECRET_COLLECTION_NONE,
                                                      nullptr, nullptr)
                   : nullptr;
}

std::optional<bool> defaultCollectionLocked()
{
    g_autoptr(SecretService) secrets = openService();
    g_autoptr(SecretCollection) collection = defaultCollection(secrets);
    if (!collection)
        return std::nullopt;
    return secret_collection_get_locked(collection) != FALSE;
}

} // namespace

SecretServiceFixture::SecretServiceFixture(Keyring keyring)
    : m_directory(QDir::tempPath() + QStringLiteral("/kestrabo-secrets-XXXXXX"))
{
    if (qEnvironmentVariableIsSet("DBUS_SESSION_BUS_ADDRESS"))
        m_previousAddress = qgetenv("DBUS_SESSION_BUS_ADDRESS");
    m_failure = start(keyring);
}

SecretServiceFixture::~SecretServiceFixture()
{
    // GDBus finishes releasing a connection in callbacks on the main context; let them run so
    // the next bus of this process gets a new connection.
    while (g_main_context_iteration(nullptr, FALSE)) {
    }
    // Whatever outlives the grace period is killed by the QProcess destructor.
    for (QProcess* process : {m_keyring.get(), m_bus.get()}) {
        if (process) {
            process->terminate();
            process->waitForFinished(10'000);
        }
    }
    if (m_previousAddress)
        qputenv("DBUS_SESSION_BUS_ADDRESS", *m_previousAddress);
    else
        qunsetenv("DBUS_SESSION_BUS_ADDRESS");
}

QString SecretServiceFixture::start(Keyring keyring)
{
    QFile config(m_directory.filePath(QStringLiteral("bus.conf")));
    const QByteArray configText =
        QString::fromLatin1(kBusConfig).arg(m_directory.filePath(QStringLiteral("bus"))).toUtf8();
    if (!m_directory.isValid() || !config.open(QIODevice::WriteOnly) || config.write(configText) < 0)
        return QStringLiteral("cannot write the bus configuration");
    config.close();

    m_bus = std::make_unique<QProcess>();
    m_bus->setChildProcessModifier(dieWithParent);
    m_bus->start(QStringLiteral("dbus-daemon"),
                 {QStringLiteral("--config-file=") + config.fileName(), QStringLiteral("--nofork"),
                  QStringLiteral("--print-address=1")},
                 QIODevice::ReadOnly);
    while (!m_bus->canReadLine() && m_bus->waitForReadyRead(kStartTimeoutMs)) {
    }
    if (!m_bus->canReadLine())
        return QStringLiteral("dbus-daemon printed no address");
    const QByteArray address = m_bus->readLine().trimmed();
    qputenv("DBUS_SESSION_BUS_ADDRESS", address);
    if (keyring == Keyring::none)
        return {};

    // The temporary directory (mode 0700) serves as the keyring's HOME and runtime directory.
    QProcessEnvironment environment;
    environment.insert(QStringLiteral("PATH"), qEnvironmentVariable("PATH"));
    environment.insert(QStringLiteral("HOME"), m_directory.path());
    environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), m_directory.path());
    environment.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), QString::fromUtf8(address));

    m_keyring = std::make_unique<QProcess>();
    m_keyring->setProcessEnvironment(environment);
    m_keyring->setStandardOutputFile(QProcess::nullDevice());
    m_keyring->setStandardErrorFile(m_directory.filePath(QStringLiteral("keyring.log")));
    m_keyring->setChildProcessModifier(dieWithParent);
    m_keyring->start(QStringLiteral("gnome-keyring-daemon"),
                     {QStringLiteral("--foreground"), QStringLiteral("--unlock"),
                      QStringLiteral("--components=secrets")},
                     QIODevice::WriteOnly);
    if (!m_keyring->waitForStarted(kStartTimeoutMs))
        return QStringLiteral("gnome-keyring-daemon did not start");
    // The password travels on standard input, never on the command line.
    m_keyring->write("kestrabo-fixture");
    m_keyring->closeWriteChannel();
    m_keyring->waitForBytesWritten(kStartTimeoutMs);

    const QDeadlineTimer deadline(kStartTimeoutMs);
    while (defaultCollectionLocked() != false) {
        if (deadline.hasExpired() || m_keyring->state() != QProcess::Running)
            return QStringLiteral("the keyring has no unlocked default collection");
        QThread::msleep(50);
    }
    return {};
}

QList<SecretServiceFixture::StoredItem> SecretServiceFixture::items(const QString& service,
                                                                   const QString& account) const
{
    QList<StoredItem> result;
    g_autoptr(SecretService) secrets = openService();
    if (!secrets)
        return result;
    g_autoptr(GHashTable) attributes = attributesFor(service, account);
    // Secrets load for unlocked items only: nothing is unlocked.
    const auto flags = static_cast<SecretSearchFlags>(SECRET_SEARCH_ALL | SECRET_SEARCH_LOAD_SECRETS);
    GList* found = secret_service_search_sync(secrets, nullptr, attributes, flags, nullptr, nullptr);
    for (GList* link = found; link; link = link->next) {
        auto* item = static_cast<SecretItem*>(link->data);
        g_autofree gchar* label = secret_item_get_label(item);
        StoredItem stored{QString::fromUtf8(label), secret_item_get_locked(item) != FALSE, std::nullopt};
        if (g_autoptr(SecretValue) value = secret_item_get_secret(item)) {
            gsize length = 0;
            const gchar* bytes = secret_value_get(value, &length);
            stored.secret = QByteArray(bytes, static_cast<qsizetype>(length));
        }
        result.append(stored);
    }
    g_list_free_full(found, g_object_unref);
    return result;
}

bool SecretServiceFixture::plantItem(const QString& service, const QString& account, const QByteArray& secret) const
{
    g_autoptr(SecretService) secrets = openService();
    if (!secrets)
        return false;
    g_autoptr(GHashTable) attributes = attributesFor(service, account);
    g_autoptr(SecretValue) value = secret_value_new(secret.constData(), secret.size(), "application/octet-stream");
    return secret_service_store_sync(secrets, nullptr, attributes, SECRET_COLLECTION_DEFAULT, "Planted item",
                                     value, nullptr, nullptr);
}

bool SecretServiceFixture::lockDefaultCollection() const
{
    g_autoptr(SecretService) secrets = openService();
    g_autoptr(SecretCollection) collection = defaultCollection(secrets);
    GList objects{collection, nullptr, nullptr};
    return collection && secret_service_lock_sync(secrets, &objects, nullptr, nullptr, nullptr) == 1;
}

long long SecretServiceFixture::pid(Daemon daemon) const
{
    const QProcess* process = daemon == Daemon::keyring ? m_keyring.get() : m_bus.get();
    return process && process->state() == QProcess::Running ? process->processId() : 0;
}

long long SecretServiceFixture::kill(Daemon daemon)
{
    QProcess* process = daemon == Daemon::keyring ? m_keyring.get() : m_bus.get();
    const long long pid = this->pid(daemon);
    if (pid == 0)
        return 0;
    process->kill();
    process->waitForFinished(10'000);
    return pid;
}

} // namespace kestrabo::test
