#pragma once

#include "system/KeychainCredentialStore.h"

#include <QString>
#include <QStringList>

#include <deque>
#include <memory>
#include <optional>
#include <vector>

namespace kestrabo::test {

// A Keychain of one item that answers like the platform, unless a status is queued for a
// call, and records every call it gets.
struct ScriptedKeychain {
    struct Item {
        QByteArray data;
        std::optional<QString> label;
    };
    struct Call {
        QString name;
        KeychainAttributes query;
        KeychainAttributes changes;
    };

    std::optional<Item> item;
    // When set, copyMatching answers this instead of the item.
    std::optional<KeychainCopyResult> copyAnswer;
    std::deque<KeychainStatus> updateAnswers;
    std::deque<KeychainStatus> addAnswers;
    std::deque<KeychainStatus> deleteAnswers;
    std::vector<Call> calls;

    QStringList callNames() const
    {
        QStringList names;
        for (const Call& call : calls)
            names.append(call.name);
        return names;
    }

    // The table for a store; the keychain must outlive it.
    KeychainOperations operations()
    {
        KeychainOperations table;
        table.copyMatching = [this](const KeychainAttributes& query) {
            calls.push_back({QStringLiteral("copyMatching"), query, {}});
            if (copyAnswer)
                return *copyAnswer;
            if (!item)
                return KeychainCopyResult{keychainStatus::itemNotFound, {}};
            return KeychainCopyResult{keychainStatus::success, QVariant(item->data)};
        };
        table.add = [this](const KeychainAttributes& attributes) {
            calls.push_back({QStringLiteral("add"), attributes, {}});
            if (const auto forced = next(addAnswers))
                return *forced;
            if (item)
                return keychainStatus::duplicateItem;
            item = Item{attributes.valueData.value_or(QByteArray()), attributes.label};
            return keychainStatus::success;
        };
        table.update = [this](const KeychainAttributes& query, const KeychainAttributes& changes) {
            calls.push_back({QStringLiteral("update"), query, changes});
            if (const auto forced = next(updateAnswers))
                return *forced;
            if (!item)
                return keychainStatus::itemNotFound;
            if (changes.valueData)
                item->data = *changes.valueData;
            return keychainStatus::success;
        };
        table.deleteItem = [this](const KeychainAttributes& query) {
            calls.push_back({QStringLiteral("delete"), query, {}});
            if (const auto forced = next(deleteAnswers))
                return *forced;
            if (!item)
                return keychainStatus::itemNotFound;
            item.reset();
            return keychainStatus::success;
        };
        return table;
    }

private:
    static std::optional<KeychainStatus> next(std::deque<KeychainStatus>& answers)
    {
        if (answers.empty())
            return std::nullopt;
        const KeychainStatus status = answers.front();
        answers.pop_front();
        return status;
    }
};

} // namespace kestrabo::test
