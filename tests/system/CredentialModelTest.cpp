// The companion model's handling of the stored key: loading at construction, saving before a
// conversation, and removal.

#include "ScriptedKeychain.h"

#include "app/AppModel.h"
#include "platform/StaticSystemAccess.h"
#include "support/SecretServiceFixture.h"
#include "support/TestSupport.h"
#include "system/KeychainCredentialStore.h"

#include <QSettings>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <memory>

namespace kestrabo {
namespace {

using test::ScriptedKeychain;

const QString kService = QStringLiteral("com.vorn.kestrabo.api-key");
const QString kAccount = QStringLiteral("openai");
const QString kSaved = QStringLiteral("Saved in macOS Keychain.");
const QString kRemoved = QStringLiteral("Removed from macOS Keychain.");
const QString kLocked = QStringLiteral("Keychain is locked or needs approval. Unlock your Mac and try again.");

// Builds models the way the application does, with the microphone request held so that no
// conversation ever connects.
class ModelHarness {
public:
    ModelHarness() : m_preferences(m_directory.filePath(QStringLiteral("preferences.ini")), QSettings::IniFormat)
    {
        access.holdRequests = true;
    }

    std::unique_ptr<AppModel> make(CredentialStore& store, bool loadCredentials = true)
    {
        return std::make_unique<AppModel>(
            AppModel::Options{.enableShortcuts = false, .loadCredentials = loadCredentials}, store,
            Platform{.access = &access, .preferences = &m_preferences});
    }

    StaticSystemAccess access;

private:
    QTemporaryDir m_directory;
    QSettings m_preferences;
};

ScriptedKeychain keychainHolding(const char* key)
{
    ScriptedKeychain keychain;
    keychain.item = ScriptedKeychain::Item{QByteArray(key), QStringLiteral("Kestrabo OpenAI API key")};
    return keychain;
}

TEST(CredentialModel, LoadsTheSavedKeyAtConstruction)
{
    ModelHarness harness;
    ScriptedKeychain keychain = keychainHolding("sk-stored");
    KeychainCredentialStore store(kService, kAccount, keychain.operations());
    auto model = harness.make(store);
    EXPECT_EQ(model->apiKey(), QStringLiteral("sk-stored"));
    EXPECT_TRUE(model->keySaved());
    EXPECT_FALSE(model->credentialNotice().has_value());

    // The loaded key counts as saved: starting does not write it again.
    keychain.calls.clear();
    model->toggle();
    EXPECT_TRUE(keychain.calls.empty());
    EXPECT_TRUE(model->active());
    EXPECT_EQ(model->state(), CompanionState::connecting);
    model->stop();

    // A failing load leaves the model without a key and says why.
    ScriptedKeychain locked;
    locked.copyAnswer = KeychainCopyResult{keychainStatus::interactionNotAllowed, {}};
    KeychainCredentialStore lockedStore(kService, kAccount, locked.operations());
    auto lockedModel = harness.make(lockedStore);
    EXPECT_EQ(lockedModel->credentialNotice(), kLocked);
    EXPECT_TRUE(lockedModel->apiKey().isEmpty());
    EXPECT_FALSE(lockedModel->keySaved());
}

TEST(CredentialModel, StartingWithAChangedKeySavesItFirst)
{
    ModelHarness harness;
    ScriptedKeychain keychain = keychainHolding("sk-old");
    KeychainCredentialStore store(kService, kAccount, keychain.operations());
    auto model = harness.make(store);

    model->setApiKey(QStringLiteral("  sk-new \n"));
    keychain.calls.clear();
    model->toggle();
    ASSERT_EQ(keychain.callNames(), QStringList{QStringLiteral("update")});
    EXPECT_EQ(keychain.item->data, QByteArray("sk-new"));
    EXPECT_EQ(model->apiKey(), QStringLiteral("sk-new"));
    EXPECT_EQ(model->credentialNotice(), kSaved);
    EXPECT_TRUE(model->active());
    ASSERT_TRUE(test::waitUntil([&] { return harness.access.hasHeldMicrophoneRequest(); }));

    // Removal waits until the conversation is over.
    keychain.calls.clear();
    model->removeAPIKey();
    EXPECT_TRUE(keychain.calls.empty());
    EXPECT_EQ(model->apiKey(), QStringLiteral("sk-new"));
    EXPECT_TRUE(model->keySaved());
    EXPECT_EQ(model->credentialNotice(), kSaved);
    model->stop();
}

TEST(CredentialModel, FailingSaveOpensSettingsWithoutStarting)
{
    ModelHarness harness;
    ScriptedKeychain keychain = keychainHolding("sk-old");
    keychain.updateAnswers = {keychainStatus::interactionNotAllowed};
    KeychainCredentialStore store(kService, kAccount, keychain.operations());
    auto model = harness.make(store);

    model->setApiKey(QStringLiteral("sk-changed"));
    model->toggle();
    EXPECT_TRUE(model->settings());
    EXPECT_FALSE(model->active());
    EXPECT_EQ(model->state(), CompanionState::idle);
    EXPECT_EQ(model->credentialNotice(), kLocked);
    EXPECT_EQ(model->apiKey(), QStringLiteral("sk-changed"));
    EXPECT_EQ(keychain.item->data, QByteArray("sk-old"));
    test::spin(20);
    EXPECT_EQ(harness.access.microphoneRequests, 0);
}

TEST(CredentialModel, RemovingTheKeyReportsTheOutcome)
{
    ModelHarness harness;
    ScriptedKeychain keychain = keychainHolding("sk-stored");
    keychain.deleteAnswers = {keychainStatus::authFailed};
    KeychainCredentialStore store(kService, kAccount, keychain.operations());
    auto model = harness.make(store);

    // A refused delete changes nothing but the notice.
    model->removeAPIKey();
    EXPECT_EQ(model->credentialNotice(), QStringLiteral("Keychain access was not approved. Try again when ready."));
    EXPECT_EQ(model->apiKey(), QStringLiteral("sk-stored"));
    EXPECT_TRUE(model->keySaved());

    model->removeAPIKey();
    EXPECT_EQ(model->credentialNotice(), kRemoved);
    EXPECT_TRUE(model->apiKey().isEmpty());
    EXPECT_FALSE(model->keySaved());
    EXPECT_FALSE(keychain.item.has_value());
}

TEST(CredentialModel, KeepsTheKeyInTheSecretService)
{
    test::SecretServiceFixture fixture;
    ASSERT_TRUE(fixture.failure().isEmpty()) << fixture.failure().toStdString();
    ModelHarness harness;
    KeychainCredentialStore store(kService, kAccount, KeychainOperations::system());

    auto first = harness.make(store);
    EXPECT_TRUE(first->apiKey().isEmpty());
    EXPECT_FALSE(first->keySaved());
    EXPECT_FALSE(first->credentialNotice().has_value());
    first->setApiKey(QStringLiteral(" sk-model-4d2e\n"));
    ASSERT_TRUE(first->persistCurrentKey());
    EXPECT_EQ(first->credentialNotice(), kSaved);
    EXPECT_EQ(first->apiKey(), QStringLiteral("sk-model-4d2e"));
    const auto items = fixture.items(kService, kAccount);
    ASSERT_EQ(items.size(), 1);
    EXPECT_EQ(items[0].secret, QByteArray("sk-model-4d2e"));

    // The next launch finds it.
    auto second = harness.make(store);
    EXPECT_EQ(second->apiKey(), QStringLiteral("sk-model-4d2e"));
    EXPECT_TRUE(second->keySaved());
    second->removeAPIKey();
    EXPECT_EQ(second->credentialNotice(), kRemoved);
    EXPECT_TRUE(fixture.items(kService, kAccount).isEmpty());

    auto third = harness.make(store);
    EXPECT_TRUE(third->apiKey().isEmpty());
    EXPECT_FALSE(third->keySaved());

    // A locked keyring at launch: the model starts without a key and says why.
    ASSERT_TRUE(store.save(QStringLiteral("sk-model-locked")).ok());
    ASSERT_TRUE(fixture.lockDefaultCollection());
    auto locked = harness.make(store);
    EXPECT_EQ(locked->credentialNotice(), kLocked);
    EXPECT_TRUE(locked->apiKey().isEmpty());
    EXPECT_FALSE(locked->keySaved());
}

} // namespace
} // namespace kestrabo
