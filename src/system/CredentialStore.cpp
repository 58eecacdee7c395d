#include "system/CredentialStore.h"

#include "core/Text.h"

namespace kestrabo {

Status InMemoryCredentialStore::save(const QString& key)
{
    const QString trimmed = text::trimmed(key);
    if (trimmed.isEmpty())
        return KestraboError::message(QStringLiteral("Enter an API key before saving."));
    m_key = trimmed;
    return {};
}

} // namespace kestrabo
