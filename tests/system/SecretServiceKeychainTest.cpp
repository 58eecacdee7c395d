// The credential store on a real Secret Service: a private bus with gnome-keyring-daemon,
// started per test (each test runs as its own process under CTest).

#include "ScriptedKeychain.h"

#include "support/SecretServiceFixture.h"
#include "support/TestSupport.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>

#include <gtest/gtest.h>

#include <csignal>
#include <thread>

namespace kestrabo {
namespace {

using test::failureOf;
using test::SecretServiceFixture;

const QString kService = QStringLiteral("com.vorn.kestrabo.api-key");
const QString kAccount = QStringLiteral("openai");

TEST(SecretServiceKeychain, SavesLoadsReplacesAndRemovesTheItem)
{
    SecretServiceFixture fixture;
    ASSERT_TRUE(fixture.failure().isEmpty()) << fixture.failure().toStdString();
    KeychainCredentialStore store(kService, kAccount, KeychainOperations::system());
    EXPECT_EQ(store.load().value(), std::nullopt);

    const QString first = QStringLiteral("sk-fixture-first-7f3a");
    const QString second = QStringLiteral("sk-fixture-second-91bc");
    for (const QString& key : {first, second}) {
        ASSERT_TRUE(store.save(QStringLiteral("  ") + key + QStringLiteral(" \n")).ok());
        const QList<SecretServiceFixture::StoredItem> items = fixture.items(kService, kAccount);
        ASSERT_EQ(items.size(), 1);
        EXPECT_EQ(items[0].label, QStringLiteral("Kestrabo OpenAI API key"));
        EXPECT_EQ(items[0].secret, key.toUtf8());
        EXPECT_EQ(store.load().value(), key);
    }

    // The key reached the keyring over the bus: no process on the machine has it among its arguments.
    for (const QString& pid : QDir(QStringLiteral("/proc")).entryList({QStringLiteral("[0-9]*")}, QDir::Dirs)) {
        QFile commandLine(QStringLiteral("/proc/%1/cmdline").arg(pid));
        const QByteArray arguments = commandLine.open(QIODevice::ReadOnly) ? commandLine.readAll() : QByteArray();
        EXPECT_FALSE(arguments.contains(first.toUtf8()) || arguments.contains(second.toUtf8())) << pid.toStdString();
    }

    ASSERT_TRUE(store.remove().ok());
    EXPECT_TRUE(fixture.items(kService, kAccount).isEmpty());
    EXPECT_TRUE(store.remove().ok());

    // An unreadable value written by another program is found, and a save replaces it in place.
    ASSERT_TRUE(fixture.plantItem(kService, kAccount, QByteArray("\xff\xfe not text")));
    EXPECT_EQ(failureOf(store.load()),
              QStringLiteral("The saved API key could not be read. Replace or remove it in Settings."));
    ASSERT_TRUE(store.save(QStringLiteral("sk-repaired")).ok());
    EXPECT_EQ(store.load().value(), QStringLiteral("sk-repaired"));
    EXPECT_EQ(fixture.items(kService, kAccount).size(), 1);
}

TEST(SecretServiceKeychain, LockedKeyringFailsAtOnceWithoutUnlocking)
{
    SecretServiceFixture fixture;
    ASSERT_TRUE(fixture.failure().isEmpty()) << fixture.failure().toStdString();
    KeychainCredentialStore store(kService, kAccount, KeychainOperations::system());
    ASSERT_TRUE(store.save(QStringLiteral("sk-locked-away")).ok());
    ASSERT_TRUE(fixture.lockDefaultCollection());

    EXPECT_EQ(failureOf(store.load()),
              QStringLiteral("The keyring is locked or needs approval. Unlock it and try again."));
    // Writing asks the keyring to unlock; this bus has no prompter, so the keyring reports the
    // prompt as dismissed.
    const QString notApproved = QStringLiteral("Keyring access was not approved. Try again when ready.");
    EXPECT_EQ(failureOf(store.save(QStringLiteral("sk-replacement"))), notApproved);
    EXPECT_EQ(failureOf(store.remove()), notApproved);
    // Nothing unlocked the keyring or touched the item.
    const QList<SecretServiceFixture::StoredItem> items = fixture.items(kService, kAccount);
    EXPECT_TRUE(items.size() == 1 && items[0].locked);
}

TEST(SecretServiceKeychain, NoSecretServiceOnTheBusIsUnavailable)
{
    SecretServiceFixture fixture(SecretServiceFixture::Keyring::none);
    ASSERT_TRUE(fixture.failure().isEmpty()) << fixture.failure().toStdString();
    KeychainCredentialStore store(kService, kAccount, KeychainOperations::system());
    const QString unavailable = QStringLiteral("The keyring is unavailable. Try again after unlocking your session.");
    EXPECT_EQ(failureOf(store.load()), unavailable);
    EXPECT_EQ(failureOf(store.save(QStringLiteral("sk-nowhere"))), unavailable);
    EXPECT_EQ(failureOf(store.remove()), unavailable);
}

// The keyring daemon, or the whole session bus, going away while the app runs (the daemon also
// in the middle of a call): every call answers at once with the sentence, and nothing of the lost
// connection stays open.
TEST(SecretServiceKeychain, DaemonDisappearingMidSessionIsUnavailableAtOnce)
{
    using Daemon = SecretServiceFixture::Daemon;
    const QString unavailable = QStringLiteral("The keyring is unavailable. Try again after unlocking your session.");
    const std::pair<Daemon, bool> cases[] = {{Daemon::keyring, false}, {Daemon::bus, false}, {Daemon::keyring, true}};
    for (const auto& [daemon, midCall] : cases) {
        const int row = int(daemon) + 2 * midCall;
        SecretServiceFixture fixture;
        ASSERT_TRUE(fixture.failure().isEmpty()) << fixture.failure().toStdString();
        KeychainCredentialStore store(kService, kAccount, KeychainOperations::system());
        ASSERT_TRUE(store.save(QStringLiteral("sk-before-the-crash")).ok());
        ASSERT_EQ(store.load().value(), QStringLiteral("sk-before-the-crash"));
        const QStringList descriptors = test::descriptorLinks();
        QList<long long> children = test::childProcesses();
        const long long pid = fixture.pid(daemon);
        children.removeAll(pid);

        QElapsedTimer clock;
        clock.start();
        std::thread killer;
        if (midCall) {
            // Stopped, the daemon takes the call and never answers; then it dies.
            ::kill(pid_t(pid), SIGSTOP);
            killer = std::thread([pid] {
                std::this_thread::sleep_for(std::chrono::milliseconds(300));
                ::kill(pid_t(pid), SIGKILL);
            });
        } else {
            fixture.kill(daemon);
        }
        EXPECT_EQ(failureOf(store.load()), unavailable) << row;
        if (killer.joinable())
            killer.join();
        fixture.kill(daemon);
        EXPECT_TRUE(test::processGone(pid)) << row;
        EXPECT_EQ(failureOf(store.save(QStringLiteral("sk-after-the-crash"))), unavailable) << row;
        EXPECT_EQ(failureOf(store.remove()), unavailable) << row;
        // Far below D-Bus's 25-second call time-out: nothing waited for an answer that could not come.
        EXPECT_LT(clock.elapsed(), 5'000) << row;

        EXPECT_EQ(test::childProcesses(), children) << row;
        EXPECT_TRUE(test::waitUntil([&] { return test::newDescriptors(descriptors).empty(); }))
            << row << ": " << test::newDescriptors(descriptors);
    }
}

} // namespace
} // namespace kestrabo
