// The credential store on a real Secret Service: a private bus with gnome-keyring-daemon,
// started per test (each test runs as its own process under CTest).

#include "support/SecretServiceFixture.h"
#include "system/KeychainCredentialStore.h"

#include <QCoreApplication>

#include <gtest/gtest.h>

namespace kestrabo {
namespace {

using test::SecretServiceFixture;

const QString kService = QStringLiteral("com.vorn.kestrabo.api-key");
const QString kAccount = QStringLiteral("openai");

KeychainCredentialStore systemStore()
{
    return KeychainCredentialStore(kService, kAccount, KeychainOperations::system());
}

QString loadFailure(KeychainCredentialStore& store)
{
    const auto loaded = store.load();
    return loaded ? QString() : loaded.error().description();
}

TEST(SecretServiceKeychain, SavesLoadsReplacesAndRemovesTheItem)
{
    SecretServiceFixture fixture;
    ASSERT_TRUE(fixture.failure().isEmpty()) << fixture.failure().toStdString();
    KeychainCredentialStore store = systemStore();

    auto loaded = store.load();
    ASSERT_TRUE(loaded.ok()) << loaded.error().description().toStdString();
    EXPECT_FALSE(loaded.value().has_value());

    const QString first = QStringLiteral("sk-fixture-first-7f3a");
    ASSERT_TRUE(store.save(QStringLiteral("  ") + first + QStringLiteral(" \n")).ok());
    QList<SecretServiceFixture::StoredItem> items = fixture.items(kService, kAccount);
    ASSERT_EQ(items.size(), 1);
    EXPECT_EQ(items[0].label, QStringLiteral("Kestrabo OpenAI API key"));
    EXPECT_EQ(items[0].attributes.value(QStringLiteral("service")), kService);
    EXPECT_EQ(items[0].attributes.value(QStringLiteral("account")), kAccount);
    EXPECT_EQ(items[0].secret, first.toUtf8());
    loaded = store.load();
    ASSERT_TRUE(loaded.ok());
    EXPECT_EQ(loaded.value(), first);

    // Replacing keeps one item and its label.
    const QString second = QStringLiteral("sk-fixture-second-91bc");
    ASSERT_TRUE(store.save(second).ok());
    items = fixture.items(kService, kAccount);
    ASSERT_EQ(items.size(), 1);
    EXPECT_EQ(items[0].label, QStringLiteral("Kestrabo OpenAI API key"));
    EXPECT_EQ(items[0].secret, second.toUtf8());
    loaded = store.load();
    ASSERT_TRUE(loaded.ok());
    EXPECT_EQ(loaded.value(), second);

    // The key reached the keyring over the bus, never through a command line.
    QList<qint64> processes = fixture.processIds();
    processes.append(QCoreApplication::applicationPid());
    for (const qint64 pid : processes) {
        const QString commandLine = test::commandLineOf(pid);
        EXPECT_FALSE(commandLine.isEmpty());
        EXPECT_FALSE(commandLine.contains(first)) << pid;
        EXPECT_FALSE(commandLine.contains(second)) << pid;
    }

    ASSERT_TRUE(store.remove().ok());
    EXPECT_TRUE(fixture.items(kService, kAccount).isEmpty());
    EXPECT_TRUE(store.remove().ok());
    loaded = store.load();
    ASSERT_TRUE(loaded.ok());
    EXPECT_FALSE(loaded.value().has_value());
}

TEST(SecretServiceKeychain, LockedKeyringFailsAtOnceWithoutUnlocking)
{
    SecretServiceFixture fixture;
    ASSERT_TRUE(fixture.failure().isEmpty()) << fixture.failure().toStdString();
    KeychainCredentialStore store = systemStore();
    ASSERT_TRUE(store.save(QStringLiteral("sk-locked-away")).ok());
    ASSERT_TRUE(fixture.lockDefaultCollection());
    ASSERT_EQ(fixture.defaultCollectionLocked(), true);

    EXPECT_EQ(loadFailure(store),
              QStringLiteral("Keychain is locked or needs approval. Unlock your Mac and try again."));
    // Reading neither unlocked the keyring nor touched the item.
    EXPECT_EQ(fixture.defaultCollectionLocked(), true);
    QList<SecretServiceFixture::StoredItem> items = fixture.items(kService, kAccount);
    ASSERT_EQ(items.size(), 1);
    EXPECT_TRUE(items[0].locked);

    // Writing asks the keyring to unlock; this bus has no prompter, so the keyring reports the
    // prompt as dismissed and the item stays as it was.
    const QString notApproved = QStringLiteral("Keychain access was not approved. Try again when ready.");
    const Status saved = store.save(QStringLiteral("sk-replacement"));
    ASSERT_FALSE(saved.ok());
    EXPECT_EQ(saved.error().description(), notApproved);
    const Status removed = store.remove();
    ASSERT_FALSE(removed.ok());
    EXPECT_EQ(removed.error().description(), notApproved);
    EXPECT_EQ(fixture.defaultCollectionLocked(), true);
    items = fixture.items(kService, kAccount);
    ASSERT_EQ(items.size(), 1);
    EXPECT_TRUE(items[0].locked);
}

TEST(SecretServiceKeychain, NoSecretServiceOnTheBusIsUnavailable)
{
    SecretServiceFixture fixture(SecretServiceFixture::Keyring::none);
    ASSERT_TRUE(fixture.failure().isEmpty()) << fixture.failure().toStdString();
    KeychainCredentialStore store = systemStore();
    const QString unavailable = QStringLiteral("Keychain is unavailable. Try again after unlocking your Mac.");

    EXPECT_EQ(loadFailure(store), unavailable);
    const Status saved = store.save(QStringLiteral("sk-nowhere"));
    ASSERT_FALSE(saved.ok());
    EXPECT_EQ(saved.error().description(), unavailable);
    const Status removed = store.remove();
    ASSERT_FALSE(removed.ok());
    EXPECT_EQ(removed.error().description(), unavailable);
}

TEST(SecretServiceKeychain, ReadsAnItemWrittenByAnotherProgram)
{
    SecretServiceFixture fixture;
    ASSERT_TRUE(fixture.failure().isEmpty()) << fixture.failure().toStdString();
    KeychainCredentialStore store = systemStore();

    ASSERT_TRUE(fixture.plantItem(kService, kAccount, QByteArray("\xff\xfe not text")));
    EXPECT_EQ(loadFailure(store),
              QStringLiteral("The saved API key could not be read. Replace or remove it in Settings."));

    // Saving replaces the unreadable value in place.
    ASSERT_TRUE(store.save(QStringLiteral("sk-repaired")).ok());
    const auto loaded = store.load();
    ASSERT_TRUE(loaded.ok());
    EXPECT_EQ(loaded.value(), QStringLiteral("sk-repaired"));
    EXPECT_EQ(fixture.items(kService, kAccount).size(), 1);
}

} // namespace
} // namespace kestrabo
