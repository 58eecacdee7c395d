#include "support/SecretServiceFixture.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QThread>

#include <libsecret/secret.h>

#include <signal.h>
#include <sys/prctl.h>

namespace kestrabo::test {

namespace {

constexpr int kStartTimeoutMs = 10'000;
constexpr const char* kPassword = "kestrabo-fixture";

const char* const kBusConfig = R"(<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <listen>unix:path=%1</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
)";

// A daemon must not outlive a test process that crashed.
void dieWithParent()
{
    ::prctl(PR_SET_PDEATHSIG, SIGTERM);
}

struct GErrorHolder {
    GError* error = nullptr;
    ~GErrorHolder() { g_clear_error(&error); }
};

GHashTable* attributeTable(const QByteArray& service, const QByteArray& account)
{
    GHashTable* table = g_hash_table_new(g_str_hash, g_str_equal);
    g_hash_table_insert(table, const_cast<char*>("service"), const_cast<char*>(service.constData()));
    g_hash_table_insert(table, const_cast<char*>("account"), const_cast<char*>(account.constData()));
    return table;
}

// A Secret Service proxy for one look. libsecret always talks over the process's session
// bus, which names the fixture's bus while it lives; opened per look so the shared connection
// is not held between looks.
struct ServiceHandle {
    GDBusConnection* bus = nullptr;
    SecretService* service = nullptr;
    ServiceHandle()
    {
        GErrorHolder error;
        bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, &error.error);
        if (!bus)
            return;
        // Stopping the bus must not terminate the test.
        g_dbus_connection_set_exit_on_close(bus, FALSE);
        service = secret_service_open_sync(SECRET_TYPE_SERVICE, nullptr, SECRET_SERVICE_NONE, nullptr, &error.error);
    }
    ~ServiceHandle()
    {
        g_clear_object(&service);
        g_clear_object(&bus);
    }
    ServiceHandle(const ServiceHandle&) = delete;
    ServiceHandle& operator=(const ServiceHandle&) = delete;
};

SecretCollection* defaultCollection(SecretService* service)
{
    GErrorHolder error;
    return secret_collection_for_alias_sync(service, SECRET_COLLECTION_DEFAULT, SECRET_COLLECTION_NONE, nullptr,
                                            &error.error);
}

} // namespace

// The fixture's own private connection to its bus.
struct SecretServiceFixture::Session {
    GDBusConnection* bus = nullptr;

    ~Session()
    {
        if (bus) {
            g_dbus_connection_close_sync(bus, nullptr, nullptr);
            g_object_unref(bus);
        }
    }

    bool nameOwned() const
    {
        GErrorHolder error;
        GVariant* reply = g_dbus_connection_call_sync(
            bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "NameHasOwner",
            g_variant_new("(s)", "org.freedesktop.secrets"), G_VARIANT_TYPE("(b)"), G_DBUS_CALL_FLAGS_NONE, 1'000,
            nullptr, &error.error);
        if (!reply)
            return false;
        gboolean owned = FALSE;
        g_variant_get(reply, "(b)", &owned);
        g_variant_unref(reply);
        return owned;
    }

    // Read fresh from the service rather than from a proxy's cache.
    std::optional<bool> collectionLocked(const char* path) const
    {
        GErrorHolder error;
        GVariant* reply = g_dbus_connection_call_sync(
            bus, "org.freedesktop.secrets", path, "org.freedesktop.DBus.Properties", "Get",
            g_variant_new("(ss)", "org.freedesktop.Secret.Collection", "Locked"), G_VARIANT_TYPE("(v)"),
            G_DBUS_CALL_FLAGS_NO_AUTO_START, 2'000, nullptr, &error.error);
        if (!reply)
            return std::nullopt;
        GVariant* value = nullptr;
        g_variant_get(reply, "(v)", &value);
        const bool locked = g_variant_get_boolean(value);
        g_variant_unref(value);
        g_variant_unref(reply);
        return locked;
    }
};

SecretServiceFixture::SecretServiceFixture(Keyring keyring)
    : m_directory(QDir::tempPath() + QStringLiteral("/kestrabo-secrets-XXXXXX"))
{
    if (!m_directory.isValid()) {
        m_failure = QStringLiteral("no temporary directory");
        return;
    }
    if (!startBus())
        return;
    if (qEnvironmentVariableIsSet("DBUS_SESSION_BUS_ADDRESS"))
        m_previousAddress = qgetenv("DBUS_SESSION_BUS_ADDRESS");
    qputenv("DBUS_SESSION_BUS_ADDRESS", m_address.toUtf8());
    if (keyring == Keyring::unlocked)
        startKeyring();
}

SecretServiceFixture::~SecretServiceFixture()
{
    // GDBus finishes releasing a connection in callbacks on the main context; let them run so
    // the next bus of this process is a new connection.
    while (g_main_context_iteration(nullptr, FALSE)) {
    }
    m_session.reset();
    stop(m_keyring);
    stop(m_bus);
    if (!m_address.isEmpty()) {
        if (m_previousAddress)
            qputenv("DBUS_SESSION_BUS_ADDRESS", *m_previousAddress);
        else
            qunsetenv("DBUS_SESSION_BUS_ADDRESS");
    }
}

bool SecretServiceFixture::startBus()
{
    const QString configPath = m_directory.filePath(QStringLiteral("bus.conf"));
    QFile config(configPath);
    if (!config.open(QIODevice::WriteOnly)
        || config.write(QString::fromLatin1(kBusConfig).arg(m_directory.filePath(QStringLiteral("bus"))).toUtf8()) < 0) {
        m_failure = QStringLiteral("cannot write the bus configuration");
        return false;
    }
    config.close();

    m_bus = new QProcess;
    m_bus->setProgram(QStringLiteral("dbus-daemon"));
    m_bus->setArguments({QStringLiteral("--config-file=") + configPath, QStringLiteral("--nofork"),
                         QStringLiteral("--print-address=1")});
    m_bus->setChildProcessModifier(dieWithParent);
    m_bus->start(QIODevice::ReadOnly);
    if (!m_bus->waitForStarted(kStartTimeoutMs)) {
        m_failure = QStringLiteral("dbus-daemon did not start");
        return false;
    }
    QDeadlineTimer deadline(kStartTimeoutMs);
    while (!m_bus->canReadLine() && !deadline.hasExpired())
        m_bus->waitForReadyRead(100);
    if (!m_bus->canReadLine()) {
        m_failure = QStringLiteral("dbus-daemon printed no address");
        return false;
    }
    m_address = QString::fromUtf8(m_bus->readLine()).trimmed();

    m_session = std::make_unique<Session>();
    GErrorHolder error;
    const auto flags = static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT
                                                         | G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION);
    m_session->bus = g_dbus_connection_new_for_address_sync(m_address.toUtf8().constData(), flags, nullptr, nullptr,
                                                            &error.error);
    if (!m_session->bus) {
        m_failure = QStringLiteral("cannot connect to the private bus");
        return false;
    }
    return true;
}

bool SecretServiceFixture::startKeyring()
{
    const QString home = m_directory.filePath(QStringLiteral("home"));
    const QString runtime = m_directory.filePath(QStringLiteral("runtime"));
    QDir().mkpath(home);
    QDir().mkpath(runtime);
    QFile::setPermissions(runtime, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);

    QProcessEnvironment environment;
    environment.insert(QStringLiteral("PATH"), qEnvironmentVariable("PATH"));
    environment.insert(QStringLiteral("HOME"), home);
    environment.insert(QStringLiteral("XDG_DATA_HOME"), home + QStringLiteral("/.local/share"));
    environment.insert(QStringLiteral("XDG_CONFIG_HOME"), home + QStringLiteral("/.config"));
    environment.insert(QStringLiteral("XDG_CACHE_HOME"), home + QStringLiteral("/.cache"));
    environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtime);
    environment.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), m_address);

    m_keyring = new QProcess;
    m_keyring->setProcessEnvironment(environment);
    m_keyring->setProgram(QStringLiteral("gnome-keyring-daemon"));
    m_keyring->setArguments({QStringLiteral("--foreground"), QStringLiteral("--unlock"),
                             QStringLiteral("--components=secrets")});
    m_keyring->setStandardOutputFile(QProcess::nullDevice());
    m_keyring->setStandardErrorFile(m_directory.filePath(QStringLiteral("keyring.log")));
    m_keyring->setChildProcessModifier(dieWithParent);
    m_keyring->start(QIODevice::WriteOnly);
    if (!m_keyring->waitForStarted(kStartTimeoutMs)) {
        m_failure = QStringLiteral("gnome-keyring-daemon did not start");
        return false;
    }
    // The password travels on standard input, never on the command line.
    m_keyring->write(kPassword);
    m_keyring->closeWriteChannel();
    m_keyring->waitForBytesWritten(kStartTimeoutMs);

    QDeadlineTimer deadline(kStartTimeoutMs);
    while (!m_session->nameOwned()) {
        if (deadline.hasExpired() || m_keyring->state() != QProcess::Running) {
            m_failure = QStringLiteral("gnome-keyring-daemon did not take the Secret Service name");
            return false;
        }
        QThread::msleep(20);
    }
    while (true) {
        ServiceHandle handle;
        SecretCollection* collection = handle.service ? defaultCollection(handle.service) : nullptr;
        std::optional<bool> locked;
        if (collection) {
            locked = m_session->collectionLocked(g_dbus_proxy_get_object_path(G_DBUS_PROXY(collection)));
            g_object_unref(collection);
        }
        if (locked == false)
            return true;
        if (deadline.hasExpired()) {
            m_failure = QStringLiteral("the keyring has no unlocked default collection");
            return false;
        }
        QThread::msleep(20);
    }
}

void SecretServiceFixture::stop(QProcess* process)
{
    if (!process)
        return;
    if (process->state() != QProcess::NotRunning) {
        process->terminate();
        if (!process->waitForFinished(5'000)) {
            process->kill();
            process->waitForFinished(5'000);
        }
    }
    delete process;
}

QList<qint64> SecretServiceFixture::processIds() const
{
    QList<qint64> ids;
    for (QProcess* process : {m_bus, m_keyring}) {
        if (process && process->state() == QProcess::Running)
            ids.append(process->processId());
    }
    return ids;
}

QList<SecretServiceFixture::StoredItem> SecretServiceFixture::items(const QString& service,
                                                                   const QString& account) const
{
    QList<StoredItem> result;
    ServiceHandle handle;
    if (!handle.service)
        return result;
    const QByteArray serviceBytes = service.toUtf8();
    const QByteArray accountBytes = account.toUtf8();
    GHashTable* attributes = attributeTable(serviceBytes, accountBytes);
    GErrorHolder error;
    GList* found = secret_service_search_sync(handle.service, nullptr, attributes, SECRET_SEARCH_ALL, nullptr,
                                              &error.error);
    g_hash_table_unref(attributes);
    for (GList* link = found; link; link = link->next) {
        SecretItem* item = static_cast<SecretItem*>(link->data);
        StoredItem stored;
        gchar* label = secret_item_get_label(item);
        stored.label = QString::fromUtf8(label);
        g_free(label);
        GHashTable* table = secret_item_get_attributes(item);
        GHashTableIter iter;
        gpointer key = nullptr;
        gpointer value = nullptr;
        g_hash_table_iter_init(&iter, table);
        while (g_hash_table_iter_next(&iter, &key, &value))
            stored.attributes.insert(QString::fromUtf8(static_cast<const char*>(key)),
                                     QString::fromUtf8(static_cast<const char*>(value)));
        g_hash_table_unref(table);
        stored.locked = secret_item_get_locked(item);
        if (!stored.locked) {
            GErrorHolder loadError;
            if (secret_item_load_secret_sync(item, nullptr, &loadError.error)) {
                if (SecretValue* secret = secret_item_get_secret(item)) {
                    gsize length = 0;
                    const gchar* bytes = secret_value_get(secret, &length);
                    stored.secret = QByteArray(bytes, static_cast<qsizetype>(length));
                    secret_value_unref(secret);
                }
            }
        }
        result.append(stored);
    }
    g_list_free_full(found, g_object_unref);
    return result;
}

bool SecretServiceFixture::plantItem(const QString& service, const QString& account, const QByteArray& secret) const
{
    ServiceHandle handle;
    if (!handle.service)
        return false;
    SecretSchema schema{};
    schema.name = "org.example.OtherTool";
    schema.flags = SECRET_SCHEMA_NONE;
    schema.attributes[0] = {"service", SECRET_SCHEMA_ATTRIBUTE_STRING};
    schema.attributes[1] = {"account", SECRET_SCHEMA_ATTRIBUTE_STRING};

    const QByteArray serviceBytes = service.toUtf8();
    const QByteArray accountBytes = account.toUtf8();
    GHashTable* attributes = attributeTable(serviceBytes, accountBytes);
    SecretValue* value = secret_value_new(secret.constData(), secret.size(), "application/octet-stream");
    GErrorHolder error;
    const bool stored = secret_service_store_sync(handle.service, &schema, attributes, SECRET_COLLECTION_DEFAULT,
                                                  "Planted item", value, nullptr, &error.error);
    secret_value_unref(value);
    g_hash_table_unref(attributes);
    return stored;
}

bool SecretServiceFixture::lockDefaultCollection() const
{
    ServiceHandle handle;
    if (!handle.service)
        return false;
    SecretCollection* collection = defaultCollection(handle.service);
    if (!collection)
        return false;
    GList* objects = g_list_append(nullptr, collection);
    GErrorHolder error;
    const gint locked = secret_service_lock_sync(handle.service, objects, nullptr, nullptr, &error.error);
    g_list_free(objects);
    g_object_unref(collection);
    return locked == 1;
}

std::optional<bool> SecretServiceFixture::defaultCollectionLocked() const
{
    ServiceHandle handle;
    if (!m_session || !handle.service)
        return std::nullopt;
    SecretCollection* collection = defaultCollection(handle.service);
    if (!collection)
        return std::nullopt;
    const std::optional<bool> locked =
        m_session->collectionLocked(g_dbus_proxy_get_object_path(G_DBUS_PROXY(collection)));
    g_object_unref(collection);
    return locked;
}

QString commandLineOf(qint64 pid)
{
    QFile file(QStringLiteral("/proc/%1/cmdline").arg(pid));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    QByteArray arguments = file.readAll();
    arguments.replace('\0', ' ');
    return QString::fromUtf8(arguments);
}

} // namespace kestrabo::test
