// The companion model's handling of the stored key: loading at construction, saving before a
// conversation, and removal.

#include "ScriptedKeychain.h"

#include "support/ModelFixture.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

namespace kestrabo {
namespace {

const QString kLocked = QStringLiteral("The keyring is locked or needs approval. Unlock it and try again.");

// A model on a scripted keychain that holds a key, with the microphone request held so that no
// conversation ever connects.
struct KeychainModel : test::ModelFixture {
    test::ScriptedKeychain keychain;
    KeychainCredentialStore keychainStore{QStringLiteral("com.vorn.kestrabo.api-key"), QStringLiteral("openai"),
                                          keychain.operations()};

    KeychainModel()
    {
        keychain.copyAnswer = {keychainStatus::success, QByteArray("sk-stored")};
        access.holdRequests = true;
        store = &keychainStore;
    }
};

TEST(CredentialModel, LoadsTheKeyAtLaunchSavesItBeforeStartingAndRemovesItOutsideAConversation)
{
    KeychainModel f;
    AppModel& model = f.make();
    EXPECT_EQ(model.apiKey(), QStringLiteral("sk-stored"));
    EXPECT_TRUE(model.keySaved());
    EXPECT_FALSE(model.credentialNotice().has_value());

    // A failing save opens settings instead of starting.
    model.setApiKey(QStringLiteral("  sk-new \n"));
    f.keychain.queued["update"] = {keychainStatus::interactionNotAllowed};
    model.toggle();
    EXPECT_TRUE(model.settings());
    EXPECT_FALSE(model.active());
    EXPECT_EQ(model.credentialNotice(), kLocked);

    // The next attempt saves the trimmed key, and removal waits for the conversation to end.
    model.toggle();
    EXPECT_EQ(f.keychain.callNames(), QStringList({"copyMatching", "update", "update"}));
    EXPECT_EQ(f.keychain.calls.back().changes.valueData, QByteArray("sk-new"));
    EXPECT_EQ(model.apiKey(), QStringLiteral("sk-new"));
    EXPECT_EQ(model.credentialNotice(), QStringLiteral("Saved in the system keyring."));
    ASSERT_TRUE(test::waitUntil([&] { return f.access.hasHeldMicrophoneRequest(); }));
    model.removeAPIKey();
    EXPECT_TRUE(model.keySaved());
    model.stop();

    // A saved key is not written again; a refused delete changes nothing but the notice.
    model.toggle();
    EXPECT_TRUE(model.active());
    model.stop();
    f.keychain.queued["delete"] = {keychainStatus::authFailed};
    model.removeAPIKey();
    EXPECT_EQ(model.credentialNotice(), QStringLiteral("Keyring access was not approved. Try again when ready."));
    EXPECT_TRUE(model.keySaved());
    model.removeAPIKey();
    EXPECT_EQ(model.credentialNotice(), QStringLiteral("Removed from the system keyring."));
    EXPECT_TRUE(model.apiKey().isEmpty());
    EXPECT_FALSE(model.keySaved());
    EXPECT_EQ(f.keychain.callNames().mid(3), QStringList({"delete", "delete"}));

    // A failing load leaves the next model without a key and says why.
    f.keychain.copyAnswer = {keychainStatus::interactionNotAllowed, {}};
    AppModel& locked = f.make();
    EXPECT_EQ(locked.credentialNotice(), kLocked);
    EXPECT_TRUE(locked.apiKey().isEmpty());
    EXPECT_FALSE(locked.keySaved());
}

} // namespace
} // namespace kestrabo
