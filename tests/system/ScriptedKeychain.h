#pragma once

#include "system/KeychainCredentialStore.h"

#include <QStringList>

#include <deque>
#include <map>
#include <vector>

namespace kestrabo::test {

// The sentence a failed store call shows, or nothing when it succeeded.
template <class R>
QString failureOf(const R& result)
{
    return result.ok() ? QString() : result.error().description();
}

// Keychain calls that record themselves and answer success, or the next status queued for the
// call ("add", "update", "delete"); copyMatching answers `copyAnswer`.
struct ScriptedKeychain {
    struct Call {
        QString name;
        KeychainAttributes query, changes;
    };

    KeychainCopyResult copyAnswer{keychainStatus::itemNotFound, {}};
    std::map<QString, std::deque<KeychainStatus>> queued;
    std::vector<Call> calls;

    QStringList callNames() const
    {
        QStringList names;
        for (const Call& call : calls)
            names.append(call.name);
        return names;
    }

    // The keychain must outlive the table.
    KeychainOperations operations()
    {
        KeychainOperations table;
        table.copyMatching = [this](const KeychainAttributes& query) {
            record("copyMatching", query);
            return copyAnswer;
        };
        table.add = [this](const KeychainAttributes& item) { return record("add", item); };
        table.update = [this](const KeychainAttributes& query, const KeychainAttributes& changes) {
            return record("update", query, changes);
        };
        table.deleteItem = [this](const KeychainAttributes& query) { return record("delete", query); };
        return table;
    }

private:
    KeychainStatus record(const QString& name, const KeychainAttributes& query, const KeychainAttributes& changes = {})
    {
        calls.push_back({name, query, changes});
        std::deque<KeychainStatus>& answers = queued[name];
        if (answers.empty())
            return keychainStatus::success;
        const KeychainStatus status = answers.front();
        answers.pop_front();
        return status;
    }
};

} // namespace kestrabo::test
