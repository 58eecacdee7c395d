#pragma once

#include "system/CredentialStore.h"

#include <QByteArray>
#include <QString>
#include <QVariant>

#include <cstdint>
#include <functional>
#include <optional>

namespace kestrabo {

// A Keychain result code. The values are the platform's own, whatever store sits behind them.
using KeychainStatus = std::int32_t;

namespace keychainStatus {
inline constexpr KeychainStatus success = 0;
inline constexpr KeychainStatus itemNotFound = -25300;
inline constexpr KeychainStatus duplicateItem = -25299;
inline constexpr KeychainStatus notAvailable = -25291;
inline constexpr KeychainStatus interactionNotAllowed = -25308;
inline constexpr KeychainStatus authFailed = -25293;
inline constexpr KeychainStatus userCanceled = -128;
} // namespace keychainStatus

enum class KeychainItemClass { genericPassword };

// The attributes of one Keychain call: a query, the attributes of a new item, or the
// attributes an update changes. Unset attributes take no part in the call.
struct KeychainAttributes {
    std::optional<KeychainItemClass> itemClass;
    std::optional<QString> service;
    std::optional<QString> account;
    std::optional<bool> synchronizable;
    std::optional<QString> label;
    std::optional<QByteArray> valueData;
    // Query options.
    bool matchLimitOne = false;
    bool returnData = false;
    // Answer interactionNotAllowed rather than show a prompt or unlock anything.
    bool interactionNotAllowed = false;

    friend bool operator==(const KeychainAttributes&, const KeychainAttributes&) = default;
};

struct KeychainCopyResult {
    KeychainStatus status = keychainStatus::itemNotFound;
    // The item's data as a QByteArray on success; anything else is not data.
    QVariant result;
};

// The four Keychain calls the store is built on.
struct KeychainOperations {
    std::function<KeychainCopyResult(const KeychainAttributes& query)> copyMatching;
    std::function<KeychainStatus(const KeychainAttributes& attributes)> add;
    std::function<KeychainStatus(const KeychainAttributes& query, const KeychainAttributes& changes)> update;
    // `delete` is taken by the language.
    std::function<KeychainStatus(const KeychainAttributes& query)> deleteItem;

    // Bound to the desktop's Secret Service through libsecret
    // (platform/linux/SecretServiceKeychain.cpp).
    static KeychainOperations system();
};

// A failure of the credential store, with the sentence the user sees.
class CredentialStoreError {
public:
    enum class Kind { operationFailed, emptyKey, invalidStoredValue };

    static constexpr const char* domain = "CredentialStoreError";

    static CredentialStoreError operationFailed(KeychainStatus status) { return {Kind::operationFailed, status}; }
    static CredentialStoreError emptyKey() { return {Kind::emptyKey, 0}; }
    static CredentialStoreError invalidStoredValue() { return {Kind::invalidStoredValue, 0}; }

    Kind kind() const { return m_kind; }
    KeychainStatus status() const { return m_status; }
    QString description() const;

    // As the application's error: domain "CredentialStoreError"; the code is the status for
    // operationFailed, and a value outside the 32-bit status range for the other two cases.
    KestraboError toError() const;
    static std::optional<CredentialStoreError> from(const KestraboError& error);

    friend bool operator==(const CredentialStoreError&, const CredentialStoreError&) = default;

private:
    CredentialStoreError(Kind kind, KeychainStatus status) : m_kind(kind), m_status(status) {}

    Kind m_kind;
    KeychainStatus m_status;
};

// The API key as one generic-password item named by service and account. Reading never
// prompts: a Keychain that would need the user answers with an error instead.
class KeychainCredentialStore final : public CredentialStore {
public:
    static constexpr const char* itemLabel = "Kestrabo OpenAI API key";

    KeychainCredentialStore(QString service, QString account, KeychainOperations operations);

    const QString& service() const { return m_service; }
    const QString& account() const { return m_account; }
    const KeychainOperations& operations() const { return m_operations; }

    Result<std::optional<QString>> load() override;
    Status save(const QString& key) override;
    Status remove() override;

private:
    KeychainAttributes identity() const;

    QString m_service;
    QString m_account;
    KeychainOperations m_operations;
};

} // namespace kestrabo
