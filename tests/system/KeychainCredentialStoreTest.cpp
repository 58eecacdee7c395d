#include "ScriptedKeychain.h"

#include "system/KeychainCredentialStore.h"

#include <gtest/gtest.h>

namespace kestrabo {
namespace {

using test::ScriptedKeychain;

const QString kService = QStringLiteral("com.vorn.kestrabo.api-key");
const QString kAccount = QStringLiteral("openai");

void expectIdentity(const KeychainAttributes& query)
{
    EXPECT_EQ(query.itemClass, KeychainItemClass::genericPassword);
    EXPECT_EQ(query.service, kService);
    EXPECT_EQ(query.account, kAccount);
    EXPECT_EQ(query.synchronizable, false);
}

QString failureOf(const Status& status)
{
    return status.ok() ? QString() : status.error().description();
}

QString failureOf(const Result<std::optional<QString>>& result)
{
    return result.ok() ? QString() : result.error().description();
}

TEST(KeychainCredentialStore, SavesTheTrimmedKeyAndLoadsItBack)
{
    ScriptedKeychain keychain;
    KeychainCredentialStore store(kService, kAccount, keychain.operations());

    // No item yet: the update misses, the add creates the item with its label.
    ASSERT_TRUE(store.save(QStringLiteral(" \t sk-test-123 \n")).ok());
    ASSERT_EQ(keychain.callNames(), (QStringList{QStringLiteral("update"), QStringLiteral("add")}));
    expectIdentity(keychain.calls[0].query);
    EXPECT_EQ(keychain.calls[0].changes.valueData, QByteArray("sk-test-123"));
    EXPECT_FALSE(keychain.calls[0].changes.label.has_value());
    const KeychainAttributes& added = keychain.calls[1].query;
    expectIdentity(added);
    EXPECT_EQ(added.valueData, QByteArray("sk-test-123"));
    EXPECT_EQ(added.label, QStringLiteral("Kestrabo OpenAI API key"));

    keychain.calls.clear();
    auto loaded = store.load();
    ASSERT_TRUE(loaded.ok());
    EXPECT_EQ(loaded.value(), QStringLiteral("sk-test-123"));
    ASSERT_EQ(keychain.calls.size(), 1u);
    const KeychainAttributes& query = keychain.calls[0].query;
    expectIdentity(query);
    EXPECT_TRUE(query.matchLimitOne);
    EXPECT_TRUE(query.returnData);
    EXPECT_TRUE(query.interactionNotAllowed);

    // An existing item is replaced by the update alone.
    keychain.calls.clear();
    ASSERT_TRUE(store.save(QStringLiteral("sk-ünïcode-2")).ok());
    EXPECT_EQ(keychain.callNames(), QStringList{QStringLiteral("update")});
    loaded = store.load();
    ASSERT_TRUE(loaded.ok());
    EXPECT_EQ(loaded.value(), QStringLiteral("sk-ünïcode-2"));

    // A value is returned as stored, inner blanks included.
    keychain.item->data = QByteArray(" sk spaced ");
    loaded = store.load();
    ASSERT_TRUE(loaded.ok());
    EXPECT_EQ(loaded.value(), QStringLiteral(" sk spaced "));
}

TEST(KeychainCredentialStore, BlankKeyIsRefusedWithoutAnyCall)
{
    ScriptedKeychain keychain;
    keychain.item = ScriptedKeychain::Item{QByteArray("sk-kept"), QStringLiteral("Kestrabo OpenAI API key")};
    KeychainCredentialStore store(kService, kAccount, keychain.operations());

    for (const QString& blank : {QString(), QStringLiteral("   "), QStringLiteral("\n\t \r\n"),
                                 QStringLiteral("\u00a0\u2003")}) {
        const Status saved = store.save(blank);
        ASSERT_FALSE(saved.ok());
        EXPECT_EQ(saved.error().description(), QStringLiteral("Enter an API key before saving."));
        EXPECT_EQ(CredentialStoreError::from(saved.error()), CredentialStoreError::emptyKey());
    }
    EXPECT_TRUE(keychain.calls.empty());
    EXPECT_EQ(keychain.item->data, QByteArray("sk-kept"));
}

TEST(KeychainCredentialStore, RacingWriterMakesTheSecondUpdateDecide)
{
    {
        ScriptedKeychain keychain;
        keychain.updateAnswers = {keychainStatus::itemNotFound, keychainStatus::success};
        keychain.addAnswers = {keychainStatus::duplicateItem};
        KeychainCredentialStore store(kService, kAccount, keychain.operations());
        EXPECT_TRUE(store.save(QStringLiteral("sk-race")).ok());
        ASSERT_EQ(keychain.callNames(),
                  (QStringList{QStringLiteral("update"), QStringLiteral("add"), QStringLiteral("update")}));
        expectIdentity(keychain.calls[2].query);
        EXPECT_EQ(keychain.calls[2].changes.valueData, QByteArray("sk-race"));
    }
    {
        ScriptedKeychain keychain;
        keychain.updateAnswers = {keychainStatus::itemNotFound, keychainStatus::interactionNotAllowed};
        keychain.addAnswers = {keychainStatus::duplicateItem};
        KeychainCredentialStore store(kService, kAccount, keychain.operations());
        EXPECT_EQ(failureOf(store.save(QStringLiteral("sk-race"))),
                  QStringLiteral("Keychain is locked or needs approval. Unlock your Mac and try again."));
        EXPECT_EQ(keychain.calls.size(), 3u);
    }
    {
        // Only a duplicate answer earns the retry; the second update is not retried again.
        ScriptedKeychain keychain;
        keychain.updateAnswers = {keychainStatus::itemNotFound, keychainStatus::itemNotFound};
        keychain.addAnswers = {keychainStatus::duplicateItem};
        KeychainCredentialStore store(kService, kAccount, keychain.operations());
        EXPECT_EQ(failureOf(store.save(QStringLiteral("sk-race"))),
                  QStringLiteral("The Keychain operation failed with code -25300. Try again."));
        EXPECT_EQ(keychain.calls.size(), 3u);
    }
    {
        ScriptedKeychain keychain;
        keychain.updateAnswers = {keychainStatus::itemNotFound};
        keychain.addAnswers = {-34018};
        KeychainCredentialStore store(kService, kAccount, keychain.operations());
        EXPECT_EQ(failureOf(store.save(QStringLiteral("sk-entitled"))),
                  QStringLiteral("The Keychain operation failed with code -34018. Try again."));
        EXPECT_EQ(keychain.callNames(), (QStringList{QStringLiteral("update"), QStringLiteral("add")}));
    }
    {
        // A failing first update is final: nothing is added behind it.
        ScriptedKeychain keychain;
        keychain.updateAnswers = {keychainStatus::userCanceled};
        KeychainCredentialStore store(kService, kAccount, keychain.operations());
        EXPECT_EQ(failureOf(store.save(QStringLiteral("sk-secret-value"))),
                  QStringLiteral("Keychain access was not approved. Try again when ready."));
        EXPECT_EQ(keychain.callNames(), QStringList{QStringLiteral("update")});
    }
}

TEST(KeychainCredentialStore, UnreadableStoredValuesFailToLoad)
{
    const QString unreadable =
        QStringLiteral("The saved API key could not be read. Replace or remove it in Settings.");
    const std::vector<KeychainCopyResult> answers{
        {keychainStatus::success, QVariant(QByteArray("\xff\xfe\xfd"))},
        {keychainStatus::success, QVariant(QByteArray("sk-\xc3"))}, // cut inside a character
        {keychainStatus::success, QVariant(QByteArray("\xed\xa0\x80"))}, // encoded surrogate
        {keychainStatus::success, QVariant(QByteArray())},
        {keychainStatus::success, QVariant()},
        {keychainStatus::success, QVariant(QStringLiteral("sk-not-data"))},
    };
    for (const KeychainCopyResult& answer : answers) {
        ScriptedKeychain keychain;
        keychain.copyAnswer = answer;
        KeychainCredentialStore store(kService, kAccount, keychain.operations());
        const auto loaded = store.load();
        ASSERT_FALSE(loaded.ok());
        EXPECT_EQ(loaded.error().description(), unreadable);
        EXPECT_EQ(CredentialStoreError::from(loaded.error()), CredentialStoreError::invalidStoredValue());
    }

    ScriptedKeychain missing;
    KeychainCredentialStore store(kService, kAccount, missing.operations());
    const auto loaded = store.load();
    ASSERT_TRUE(loaded.ok());
    EXPECT_FALSE(loaded.value().has_value());

    ScriptedKeychain locked;
    locked.copyAnswer = KeychainCopyResult{keychainStatus::interactionNotAllowed, QVariant(QByteArray("sk-x"))};
    KeychainCredentialStore lockedStore(kService, kAccount, locked.operations());
    EXPECT_EQ(failureOf(lockedStore.load()),
              QStringLiteral("Keychain is locked or needs approval. Unlock your Mac and try again."));
}

TEST(KeychainCredentialStore, RemoveSucceedsWhenThereIsNothingToRemove)
{
    ScriptedKeychain keychain;
    KeychainCredentialStore store(kService, kAccount, keychain.operations());
    EXPECT_TRUE(store.remove().ok());
    ASSERT_EQ(keychain.callNames(), QStringList{QStringLiteral("delete")});
    expectIdentity(keychain.calls[0].query);
    EXPECT_FALSE(keychain.calls[0].query.returnData);

    keychain.item = ScriptedKeychain::Item{QByteArray("sk-gone"), std::nullopt};
    EXPECT_TRUE(store.remove().ok());
    EXPECT_FALSE(keychain.item.has_value());

    keychain.deleteAnswers = {keychainStatus::authFailed};
    EXPECT_EQ(failureOf(store.remove()), QStringLiteral("Keychain access was not approved. Try again when ready."));
}

TEST(KeychainCredentialStore, EachStatusHasItsSentence)
{
    const std::vector<std::pair<KeychainStatus, QString>> sentences{
        {-25291, QStringLiteral("Keychain is unavailable. Try again after unlocking your Mac.")},
        {-25308, QStringLiteral("Keychain is locked or needs approval. Unlock your Mac and try again.")},
        {-25293, QStringLiteral("Keychain access was not approved. Try again when ready.")},
        {-128, QStringLiteral("Keychain access was not approved. Try again when ready.")},
        {-34018, QStringLiteral("The Keychain operation failed with code -34018. Try again.")},
        {-25299, QStringLiteral("The Keychain operation failed with code -25299. Try again.")},
        {-26002, QStringLiteral("The Keychain operation failed with code -26002. Try again.")},
        {7, QStringLiteral("The Keychain operation failed with code 7. Try again.")},
    };
    for (const auto& [status, sentence] : sentences) {
        const CredentialStoreError error = CredentialStoreError::operationFailed(status);
        EXPECT_EQ(error.description(), sentence) << status;
        const KestraboError general = error.toError();
        EXPECT_EQ(general.domain(), QStringLiteral("CredentialStoreError"));
        EXPECT_EQ(general.code(), status);
        EXPECT_EQ(general.description(), sentence);
        EXPECT_EQ(CredentialStoreError::from(general), error);

        // Every path of the store reports the status the same way.
        ScriptedKeychain keychain;
        keychain.copyAnswer = KeychainCopyResult{status, {}};
        keychain.updateAnswers = {status};
        keychain.deleteAnswers = {status};
        KeychainCredentialStore store(kService, kAccount, keychain.operations());
        EXPECT_EQ(failureOf(store.load()), sentence);
        EXPECT_EQ(failureOf(store.save(QStringLiteral("sk-never-shown"))), sentence);
        EXPECT_EQ(failureOf(store.remove()), sentence);
    }

    // Same case and same status are equal, and only then.
    EXPECT_EQ(CredentialStoreError::operationFailed(-25308), CredentialStoreError::operationFailed(-25308));
    EXPECT_NE(CredentialStoreError::operationFailed(-25308), CredentialStoreError::operationFailed(-25293));
    EXPECT_NE(CredentialStoreError::operationFailed(-25293).toError(),
              CredentialStoreError::operationFailed(-128).toError());
    EXPECT_NE(CredentialStoreError::emptyKey(), CredentialStoreError::invalidStoredValue());
    EXPECT_NE(CredentialStoreError::emptyKey(), CredentialStoreError::operationFailed(0));
    EXPECT_EQ(CredentialStoreError::emptyKey().toError(), CredentialStoreError::emptyKey().toError());
    EXPECT_FALSE(CredentialStoreError::from(KestraboError::message(QStringLiteral("Other."))).has_value());
}

} // namespace
} // namespace kestrabo
