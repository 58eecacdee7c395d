#include "system/KeychainCredentialStore.h"

#include "core/Text.h"

namespace kestrabo {

namespace {

// Codes of the cases that carry no status; no 32-bit status can take them.
constexpr long long kEmptyKeyCode = 0x1'0000'0001LL;
constexpr long long kInvalidStoredValueCode = 0x1'0000'0002LL;

} // namespace

QString CredentialStoreError::description() const
{
    switch (m_kind) {
    case Kind::emptyKey:
        return QStringLiteral("Enter an API key before saving.");
    case Kind::invalidStoredValue:
        return QStringLiteral("The saved API key could not be read. Replace or remove it in Settings.");
    case Kind::operationFailed:
        break;
    }
    switch (m_status) {
    case keychainStatus::notAvailable:
        return QStringLiteral("The keyring is unavailable. Try again after unlocking your session.");
    case keychainStatus::interactionNotAllowed:
        return QStringLiteral("The keyring is locked or needs approval. Unlock it and try again.");
    case keychainStatus::authFailed:
    case keychainStatus::userCanceled:
        return QStringLiteral("Keyring access was not approved. Try again when ready.");
    default:
        return QStringLiteral("The keyring operation failed with code ") + QString::number(m_status)
            + QStringLiteral(". Try again.");
    }
}

KestraboError CredentialStoreError::toError() const
{
    long long code = m_status;
    if (m_kind == Kind::emptyKey)
        code = kEmptyKeyCode;
    else if (m_kind == Kind::invalidStoredValue)
        code = kInvalidStoredValueCode;
    return KestraboError(QString::fromLatin1(domain), code, description());
}

std::optional<CredentialStoreError> CredentialStoreError::from(const KestraboError& error)
{
    if (error.domain() != QLatin1String(domain))
        return std::nullopt;
    if (error.code() == kEmptyKeyCode)
        return emptyKey();
    if (error.code() == kInvalidStoredValueCode)
        return invalidStoredValue();
    return operationFailed(static_cast<KeychainStatus>(error.code()));
}

KeychainCredentialStore::KeychainCredentialStore(QString service, QString account, KeychainOperations operations)
    : m_service(std::move(service)), m_account(std::move(account)), m_operations(std::move(operations))
{
}

KeychainAttributes KeychainCredentialStore::identity() const
{
    KeychainAttributes attributes;
    attributes.itemClass = KeychainItemClass::genericPassword;
    attributes.service = m_service;
    attributes.account = m_account;
    attributes.synchronizable = false;
    return attributes;
}

Result<std::optional<QString>> KeychainCredentialStore::load()
{
    KeychainAttributes query = identity();
    query.matchLimitOne = true;
    query.returnData = true;
    query.interactionNotAllowed = true;

    const KeychainCopyResult found = m_operations.copyMatching(query);
    if (found.status == keychainStatus::itemNotFound)
        return std::optional<QString>();
    if (found.status != keychainStatus::success)
        return CredentialStoreError::operationFailed(found.status).toError();

    if (found.result.typeId() != QMetaType::QByteArray)
        return CredentialStoreError::invalidStoredValue().toError();
    std::optional<QString> key = text::decodeUtf8(found.result.toByteArray());
    if (!key || key->isEmpty())
        return CredentialStoreError::invalidStoredValue().toError();
    return std::optional<QString>(std::move(*key));
}

Status KeychainCredentialStore::save(const QString& key)
{
    const QString trimmed = text::trimmed(key);
    if (trimmed.isEmpty())
        return CredentialStoreError::emptyKey().toError();

    KeychainAttributes change;
    change.valueData = trimmed.toUtf8();

    KeychainStatus status = m_operations.update(identity(), change);
    if (status == keychainStatus::itemNotFound) {
        KeychainAttributes item = identity();
        item.valueData = change.valueData;
        item.label = QString::fromLatin1(itemLabel);
        status = m_operations.add(item);
        // Another writer created the item between our update and add.
        if (status == keychainStatus::duplicateItem)
            status = m_operations.update(identity(), change);
    }
    if (status != keychainStatus::success)
        return CredentialStoreError::operationFailed(status).toError();
    return {};
}

Status KeychainCredentialStore::remove()
{
    const KeychainStatus status = m_operations.deleteItem(identity());
    if (status == keychainStatus::success || status == keychainStatus::itemNotFound)
        return {};
    return CredentialStoreError::operationFailed(status).toError();
}

} // namespace kestrabo
