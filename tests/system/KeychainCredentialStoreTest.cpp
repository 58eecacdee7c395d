#include "ScriptedKeychain.h"

#include <gtest/gtest.h>

namespace kestrabo {
namespace {

using test::failureOf;
using test::ScriptedKeychain;

const QString kLocked = QStringLiteral("The keyring is locked or needs approval. Unlock it and try again.");
const QString kNotApproved = QStringLiteral("Keyring access was not approved. Try again when ready.");
const QString kUnreadable = QStringLiteral("The saved API key could not be read. Replace or remove it in Settings.");

// The item's identity, with whatever else a call carries.
KeychainAttributes identity(KeychainAttributes attributes = {})
{
    attributes.itemClass = KeychainItemClass::genericPassword;
    attributes.service = QStringLiteral("com.vorn.kestrabo.api-key");
    attributes.account = QStringLiteral("openai");
    attributes.synchronizable = false;
    return attributes;
}

struct ScriptedStore {
    ScriptedKeychain keychain;
    KeychainCredentialStore store{*identity().service, *identity().account, keychain.operations()};
};

TEST(KeychainCredentialStore, SavesTrimmedLoadsOnlyReadableValuesAndRemovesEvenWhatIsMissing)
{
    ScriptedStore s;
    // No item yet: the update misses, the add creates the item with its label.
    s.keychain.queued["update"] = {keychainStatus::itemNotFound};
    ASSERT_TRUE(s.store.save(QStringLiteral(" \t sk-ünïcode-1 \n")).ok());
    ASSERT_EQ(s.keychain.callNames(), QStringList({"update", "add"}));
    EXPECT_EQ(s.keychain.calls[0].query, identity());
    EXPECT_EQ(s.keychain.calls[0].changes, KeychainAttributes{.valueData = QString("sk-ünïcode-1").toUtf8()});
    EXPECT_EQ(s.keychain.calls[1].query,
              identity({.label = "Kestrabo OpenAI API key", .valueData = QString("sk-ünïcode-1").toUtf8()}));
    // An existing item is replaced by the update alone.
    ASSERT_TRUE(s.store.save(QStringLiteral("sk-2")).ok());
    EXPECT_EQ(s.keychain.callNames().size(), 3);

    // Loading never prompts, returns the value as stored, inner blanks included, or nothing;
    // data that is not UTF-8 text is refused.
    s.keychain.copyAnswer = {keychainStatus::success, QByteArray(" sk spaced ")};
    EXPECT_EQ(s.store.load().value(), QStringLiteral(" sk spaced "));
    EXPECT_EQ(s.keychain.calls.back().query,
              identity({.matchLimitOne = true, .returnData = true, .interactionNotAllowed = true}));
    s.keychain.copyAnswer = {keychainStatus::itemNotFound, {}};
    EXPECT_EQ(s.store.load().value(), std::nullopt);
    // Invalid bytes, a character cut short, an encoded surrogate, nothing, and text that is not data.
    for (const QVariant& data : {QVariant(QByteArray("\xff\xfe\xfd")), QVariant(QByteArray("sk-\xc3")),
                                 QVariant(QByteArray("\xed\xa0\x80")), QVariant(QByteArray()), QVariant(),
                                 QVariant(QStringLiteral("sk-not-data"))}) {
        s.keychain.copyAnswer = {keychainStatus::success, data};
        const auto loaded = s.store.load();
        EXPECT_EQ(failureOf(loaded), kUnreadable) << data.toByteArray().toHex().data();
        EXPECT_EQ(CredentialStoreError::from(loaded.error()), CredentialStoreError::invalidStoredValue());
    }

    // Blanks are refused before any call.
    s.keychain.calls.clear();
    for (const QString& blank : {QString(), QStringLiteral("\n\t \r\n"), QStringLiteral("\u00a0\u2003")}) {
        const Status saved = s.store.save(blank);
        EXPECT_EQ(failureOf(saved), QStringLiteral("Enter an API key before saving."));
        EXPECT_EQ(CredentialStoreError::from(saved.error()), CredentialStoreError::emptyKey());
    }
    EXPECT_TRUE(s.keychain.calls.empty());

    s.keychain.queued["delete"] = {keychainStatus::itemNotFound};
    EXPECT_TRUE(s.store.remove().ok());
    ASSERT_EQ(s.keychain.callNames(), QStringList{"delete"});
    EXPECT_EQ(s.keychain.calls[0].query, identity());
}

TEST(KeychainCredentialStore, AddingAfterAMissedUpdateRetriesOnlyOnADuplicate)
{
    const struct {
        std::deque<KeychainStatus> update, add;
        QString failure;
    } cases[] = {
        // Another writer created the item between update and add: the second update decides.
        {{-25300, 0}, {-25299}, {}},
        {{-25300, -25308}, {-25299}, kLocked},
        {{-25300, -25300}, {-25299}, QStringLiteral("The keyring operation failed with code -25300. Try again.")},
        {{-25300}, {-34018}, QStringLiteral("The keyring operation failed with code -34018. Try again.")},
        // A failing first update is final: nothing is added behind it.
        {{-128}, {}, kNotApproved},
    };
    for (const auto& c : cases) {
        ScriptedStore s;
        s.keychain.queued = {{"update", c.update}, {"add", c.add}};
        EXPECT_EQ(failureOf(s.store.save(QStringLiteral("sk-race"))), c.failure) << c.update.back();
        // Every queued answer is used, and nothing more is called.
        const QStringList order{"update", "add", "update"};
        EXPECT_EQ(s.keychain.callNames(), order.first(c.update.size() + c.add.size()));
        const ScriptedKeychain::Call& last = s.keychain.calls.back();
        EXPECT_EQ((last.name == "add" ? last.query : last.changes).valueData, QByteArray("sk-race"));
    }
}

TEST(KeychainCredentialStore, EachStatusHasItsSentence)
{
    const std::pair<KeychainStatus, QString> cases[] = {
        {-25291, QStringLiteral("The keyring is unavailable. Try again after unlocking your session.")},
        {-25308, kLocked},
        {-25293, kNotApproved},
        {-128, kNotApproved},
        {-34018, QStringLiteral("The keyring operation failed with code -34018. Try again.")},
        {-25299, QStringLiteral("The keyring operation failed with code -25299. Try again.")},
        {7, QStringLiteral("The keyring operation failed with code 7. Try again.")},
    };
    for (const auto& [status, sentence] : cases) {
        const KestraboError general = CredentialStoreError::operationFailed(status).toError();
        EXPECT_EQ(general, KestraboError(QStringLiteral("CredentialStoreError"), status, sentence));
        EXPECT_EQ(CredentialStoreError::from(general), CredentialStoreError::operationFailed(status));
    }
    // The cases without a status keep codes of their own.
    EXPECT_NE(CredentialStoreError::emptyKey().toError(), CredentialStoreError::invalidStoredValue().toError());
    EXPECT_FALSE(CredentialStoreError::from(KestraboError::message(QStringLiteral("Other."))).has_value());
}

} // namespace
} // namespace kestrabo
