#pragma once

#include "core/Result.h"

#include <QString>

#include <optional>

namespace kestrabo {

// Where the API key is kept between launches.
class CredentialStore {
public:
    virtual ~CredentialStore() = default;
    // The saved key, or nothing when none is saved.
    virtual Result<std::optional<QString>> load() = 0;
    virtual Status save(const QString& key) = 0;
    // Succeeds when there is nothing to remove.
    virtual Status remove() = 0;
};

// Keeps the key for the life of the process only: preview mode and tests.
class InMemoryCredentialStore final : public CredentialStore {
public:
    Result<std::optional<QString>> load() override { return m_key; }
    Status save(const QString& key) override;
    Status remove() override
    {
        m_key.reset();
        return {};
    }

private:
    std::optional<QString> m_key;
};

} // namespace kestrabo
