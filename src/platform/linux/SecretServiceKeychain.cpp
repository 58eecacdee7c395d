// The Keychain calls on the desktop's Secret Service (GNOME Keyring, KWallet, …) through
// libsecret. One generic-password item is one Secret Service item whose attributes are
// "service" and "account"; results keep the platform's status codes:
//   no item → −25300, locked and not to be unlocked → −25308, no Secret Service or no bus →
//   −25291, access refused → −25293, prompt dismissed → −128,
//   other libsecret errors → −26000 − code, other D-Bus errors → −27000 − code,
//   other I/O errors → −28000 − code, anything else → −29000, a malformed call → −50.
//
// Every call opens its own Secret Service proxy and drops it afterwards (no process-wide
// cached service), so a call after the keyring daemon restarted still works.
//
// Reads never unlock: a locked item answers −25308 at once. Writes and deletes on a locked
// item or collection ask the Secret Service to unlock it, which may show its prompt, unless
// the call says interaction is not allowed.

#include "system/KeychainCredentialStore.h"

#include <libsecret/secret.h>

#include <memory>
#include <vector>

namespace kestrabo {

namespace {

constexpr KeychainStatus kMalformedCall = -50;
constexpr KeychainStatus kSecretErrorBase = -26000;
constexpr KeychainStatus kDBusErrorBase = -27000;
constexpr KeychainStatus kIOErrorBase = -28000;
constexpr KeychainStatus kOtherFailure = -29000;

struct GObjectUnref {
    void operator()(gpointer object) const { g_object_unref(object); }
};
template <class T>
using GObjectPtr = std::unique_ptr<T, GObjectUnref>;

class ErrorSlot {
public:
    ErrorSlot() = default;
    ErrorSlot(const ErrorSlot&) = delete;
    ErrorSlot& operator=(const ErrorSlot&) = delete;
    ~ErrorSlot() { g_clear_error(&m_error); }

    GError** out()
    {
        g_clear_error(&m_error);
        return &m_error;
    }
    const GError* get() const { return m_error; }
    explicit operator bool() const { return m_error != nullptr; }

private:
    GError* m_error = nullptr;
};

KeychainStatus statusFor(const GError* error)
{
    if (!error)
        return kOtherFailure;
    if (error->domain == SECRET_ERROR) {
        switch (error->code) {
        case SECRET_ERROR_IS_LOCKED:
            return keychainStatus::interactionNotAllowed;
        case SECRET_ERROR_NO_SUCH_OBJECT:
            return keychainStatus::itemNotFound;
        case SECRET_ERROR_ALREADY_EXISTS:
            return keychainStatus::duplicateItem;
        default:
            return kSecretErrorBase - error->code;
        }
    }
    if (error->domain == G_DBUS_ERROR) {
        switch (error->code) {
        case G_DBUS_ERROR_SERVICE_UNKNOWN:
        case G_DBUS_ERROR_NAME_HAS_NO_OWNER:
        case G_DBUS_ERROR_NO_SERVER:
        case G_DBUS_ERROR_DISCONNECTED:
        case G_DBUS_ERROR_FILE_NOT_FOUND:
        case G_DBUS_ERROR_SPAWN_EXEC_FAILED:
        case G_DBUS_ERROR_SPAWN_FAILED:
        case G_DBUS_ERROR_SPAWN_CHILD_EXITED:
        case G_DBUS_ERROR_SPAWN_SERVICE_NOT_FOUND:
            return keychainStatus::notAvailable;
        case G_DBUS_ERROR_ACCESS_DENIED:
        case G_DBUS_ERROR_AUTH_FAILED:
            return keychainStatus::authFailed;
        default:
            return kDBusErrorBase - error->code;
        }
    }
    if (error->domain == G_IO_ERROR) {
        switch (error->code) {
        case G_IO_ERROR_CANCELLED:
            return keychainStatus::userCanceled;
        case G_IO_ERROR_CLOSED:
        case G_IO_ERROR_CONNECTION_CLOSED:
            return keychainStatus::notAvailable;
        default:
            return kIOErrorBase - error->code;
        }
    }
    return kOtherFailure;
}

const SecretSchema* itemSchema()
{
    // Matching goes by the two attributes alone, so an item written by another tool under
    // the same service and account is the same item.
    static const SecretSchema schema = [] {
        SecretSchema value{};
        value.name = "com.vorn.kestrabo.GenericPassword";
        value.flags = SECRET_SCHEMA_DONT_MATCH_NAME;
        value.attributes[0] = {"service", SECRET_SCHEMA_ATTRIBUTE_STRING};
        value.attributes[1] = {"account", SECRET_SCHEMA_ATTRIBUTE_STRING};
        return value;
    }();
    return &schema;
}

// The attributes that name an item, as libsecret wants them; valid while this object lives.
class AttributeTable {
public:
    explicit AttributeTable(const KeychainAttributes& query)
        : m_table(g_hash_table_new(g_str_hash, g_str_equal)),
          m_service(query.service.value_or(QString()).toUtf8()),
          m_account(query.account.value_or(QString()).toUtf8())
    {
        g_hash_table_insert(m_table, const_cast<char*>("service"), m_service.data());
        g_hash_table_insert(m_table, const_cast<char*>("account"), m_account.data());
    }
    AttributeTable(const AttributeTable&) = delete;
    AttributeTable& operator=(const AttributeTable&) = delete;
    ~AttributeTable() { g_hash_table_unref(m_table); }

    GHashTable* table() const { return m_table; }

private:
    GHashTable* m_table;
    QByteArray m_service;
    QByteArray m_account;
};

// Only generic-password items named by both service and account exist here; anything
// broader would touch other programs' secrets.
bool namesOneItem(const KeychainAttributes& query)
{
    return query.itemClass == KeychainItemClass::genericPassword && query.service && query.account;
}

struct SecretValueUnref {
    void operator()(SecretValue* value) const { secret_value_unref(value); }
};
using SecretValuePtr = std::unique_ptr<SecretValue, SecretValueUnref>;

SecretValuePtr secretValue(const QByteArray& data)
{
    return SecretValuePtr(secret_value_new(data.constData(), data.size(), "text/plain"));
}

// The session bus and a Secret Service proxy on it, held for one call only. GDBus shares one
// session-bus connection per process but keeps it only while someone holds it (the last
// references go in callbacks on the main loop), so a later call reaches the bus that the
// environment names by then rather than one that has gone.
class ServiceConnection {
public:
    ServiceConnection() = default;
    ServiceConnection(const ServiceConnection&) = delete;
    ServiceConnection& operator=(const ServiceConnection&) = delete;
    ~ServiceConnection()
    {
        m_service.reset();
        m_bus.reset();
    }

    KeychainStatus open()
    {
        ErrorSlot error;
        m_bus.reset(g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, error.out()));
        if (!m_bus)
            return keychainStatus::notAvailable;
        // A session bus that goes away must not take the application with it.
        g_dbus_connection_set_exit_on_close(m_bus.get(), FALSE);
        if (g_dbus_connection_is_closed(m_bus.get()))
            return keychainStatus::notAvailable;

        m_service.reset(secret_service_open_sync(SECRET_TYPE_SERVICE, nullptr, SECRET_SERVICE_NONE, nullptr,
                                                 error.out()));
        if (!m_service) {
            const KeychainStatus status = statusFor(error.get());
            return status == kOtherFailure ? keychainStatus::notAvailable : status;
        }
        return keychainStatus::success;
    }

    SecretService* service() const { return m_service.get(); }

private:
    GObjectPtr<GDBusConnection> m_bus;
    GObjectPtr<SecretService> m_service;
};

using ItemList = std::vector<GObjectPtr<SecretItem>>;

// Every item named by the query, locked or not; nothing is unlocked.
KeychainStatus findItems(SecretService* service, const KeychainAttributes& query, ItemList& items)
{
    AttributeTable attributes(query);
    ErrorSlot error;
    GList* found = secret_service_search_sync(service, itemSchema(), attributes.table(), SECRET_SEARCH_ALL,
                                              nullptr, error.out());
    if (error)
        return statusFor(error.get());
    for (GList* link = found; link; link = link->next)
        items.emplace_back(static_cast<SecretItem*>(link->data));
    g_list_free(found);
    return items.empty() ? keychainStatus::itemNotFound : keychainStatus::success;
}

// Unlocks the given objects (items or collections) through the Secret Service, which may
// prompt, unless interaction is not allowed.
KeychainStatus unlock(SecretService* service, const std::vector<gpointer>& objects, bool interactionNotAllowed)
{
    if (objects.empty())
        return keychainStatus::success;
    if (interactionNotAllowed)
        return keychainStatus::interactionNotAllowed;
    GList* locked = nullptr;
    for (gpointer object : objects)
        locked = g_list_append(locked, object);
    ErrorSlot error;
    GList* unlocked = nullptr;
    secret_service_unlock_sync(service, locked, nullptr, &unlocked, error.out());
    g_list_free(locked);
    const guint count = g_list_length(unlocked);
    g_list_free_full(unlocked, g_object_unref);
    if (error)
        return statusFor(error.get());
    return count == objects.size() ? keychainStatus::success : keychainStatus::userCanceled;
}

KeychainStatus unlockItems(SecretService* service, const ItemList& items, bool interactionNotAllowed)
{
    std::vector<gpointer> locked;
    for (const auto& item : items) {
        if (secret_item_get_locked(item.get()))
            locked.push_back(item.get());
    }
    return unlock(service, locked, interactionNotAllowed);
}

KeychainCopyResult copyItem(const KeychainAttributes& query)
{
    if (!namesOneItem(query))
        return {kMalformedCall, {}};
    ServiceConnection connection;
    if (const KeychainStatus status = connection.open(); status != keychainStatus::success)
        return {status, {}};
    ItemList items;
    if (const KeychainStatus status = findItems(connection.service(), query, items); status != keychainStatus::success)
        return {status, {}};

    SecretItem* chosen = nullptr;
    for (const auto& item : items) {
        if (!secret_item_get_locked(item.get())) {
            chosen = item.get();
            break;
        }
    }
    if (!chosen) {
        const KeychainStatus unlocked =
            unlock(connection.service(), {items.front().get()}, query.interactionNotAllowed);
        if (unlocked != keychainStatus::success)
            return {unlocked, {}};
        chosen = items.front().get();
    }
    if (!query.returnData)
        return {keychainStatus::success, {}};

    ErrorSlot error;
    if (!secret_item_load_secret_sync(chosen, nullptr, error.out()))
        return {statusFor(error.get()), {}};
    SecretValuePtr value(secret_item_get_secret(chosen));
    if (!value)
        return {keychainStatus::success, {}};
    gsize length = 0;
    const gchar* bytes = secret_value_get(value.get(), &length);
    return {keychainStatus::success, QVariant(QByteArray(bytes, static_cast<qsizetype>(length)))};
}

KeychainStatus addItem(const KeychainAttributes& attributes)
{
    if (!namesOneItem(attributes))
        return kMalformedCall;
    ServiceConnection connection;
    if (const KeychainStatus status = connection.open(); status != keychainStatus::success)
        return status;
    SecretService* service = connection.service();

    ItemList existing;
    const KeychainStatus found = findItems(service, attributes, existing);
    if (found == keychainStatus::success)
        return keychainStatus::duplicateItem;
    if (found != keychainStatus::itemNotFound)
        return found;

    ErrorSlot error;
    GObjectPtr<SecretCollection> collection(
        secret_collection_for_alias_sync(service, SECRET_COLLECTION_DEFAULT, SECRET_COLLECTION_NONE, nullptr,
                                         error.out()));
    if (error)
        return statusFor(error.get());
    if (collection && secret_collection_get_locked(collection.get())) {
        const KeychainStatus unlocked =
            unlock(service, {collection.get()}, attributes.interactionNotAllowed);
        if (unlocked != keychainStatus::success)
            return unlocked;
    }

    // Without a default collection the Secret Service creates one.
    const SecretValuePtr value = secretValue(attributes.valueData.value_or(QByteArray()));
    const QByteArray label = attributes.label.value_or(QString()).toUtf8();
    AttributeTable table(attributes);
    if (!secret_service_store_sync(service, itemSchema(), table.table(), SECRET_COLLECTION_DEFAULT,
                                   label.constData(), value.get(), nullptr, error.out()))
        return statusFor(error.get());
    return keychainStatus::success;
}

// Opens the service and finds the query's items, unlocked for changing them.
KeychainStatus writableItems(ServiceConnection& connection, const KeychainAttributes& query, ItemList& items)
{
    if (const KeychainStatus status = connection.open(); status != keychainStatus::success)
        return status;
    if (const KeychainStatus status = findItems(connection.service(), query, items); status != keychainStatus::success)
        return status;
    return unlockItems(connection.service(), items, query.interactionNotAllowed);
}

KeychainStatus updateItems(const KeychainAttributes& query, const KeychainAttributes& changes)
{
    if (!namesOneItem(query))
        return kMalformedCall;
    // An item's name stays as it is; only its value and label change.
    if (changes.itemClass || changes.service || changes.account || changes.synchronizable.value_or(false))
        return kMalformedCall;
    ServiceConnection connection;
    ItemList items;
    if (const KeychainStatus status = writableItems(connection, query, items); status != keychainStatus::success)
        return status;

    ErrorSlot error;
    for (const auto& item : items) {
        if (changes.valueData) {
            const SecretValuePtr value = secretValue(*changes.valueData);
            if (!secret_item_set_secret_sync(item.get(), value.get(), nullptr, error.out()))
                return statusFor(error.get());
        }
        if (changes.label) {
            if (!secret_item_set_label_sync(item.get(), changes.label->toUtf8().constData(), nullptr, error.out()))
                return statusFor(error.get());
        }
    }
    return keychainStatus::success;
}

KeychainStatus deleteItems(const KeychainAttributes& query)
{
    if (!namesOneItem(query))
        return kMalformedCall;
    ServiceConnection connection;
    ItemList items;
    if (const KeychainStatus status = writableItems(connection, query, items); status != keychainStatus::success)
        return status;

    ErrorSlot error;
    for (const auto& item : items) {
        if (!secret_item_delete_sync(item.get(), nullptr, error.out()))
            return statusFor(error.get());
    }
    return keychainStatus::success;
}

} // namespace

KeychainOperations KeychainOperations::system()
{
    return KeychainOperations{
        .copyMatching = copyItem,
        .add = addItem,
        .update = updateItems,
        .deleteItem = deleteItems,
    };
}

} // namespace kestrabo
