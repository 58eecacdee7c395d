// A running Kestrabo in this process, built by its delegate as a launch builds it: the key in a
// private Secret Service, a private sound server, the voice stand-in on loopback.

#include "FakeCodex.h"
#include "app/AppDelegate.h"
#include "app/AppModel.h"
#include "live-sim/LiveSim.h"
#include "support/PulseDaemon.h"
#include "support/SecretServiceFixture.h"
#include "support/TaskTestSupport.h"
#include "system/KeychainCredentialStore.h"
#include "tasks/ComputerTask.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace kestrabo;
using namespace Qt::StringLiterals;

namespace {

const QString kService = u"com.vorn.kestrabo.api-key"_s;
const QString kAccount = u"openai"_s;

struct Running {
    QTemporaryDir home;
    // The sound server first: it clears the session bus, which the keyring then replaces.
    test::PulseDaemon pulse;
    std::unique_ptr<test::SecretServiceFixture> keyring;
    sim::LiveSim voice;
    std::unique_ptr<AppDelegate> delegate;
    QString failure;

    explicit Running(LaunchOptions::Mode mode = LaunchOptions::Mode::normal)
    {
        failure = pulse.start();
        if (!failure.isEmpty())
            return;
        keyring = std::make_unique<test::SecretServiceFixture>();
        failure = keyring->failure();
        if (!failure.isEmpty())
            return;
        KeychainCredentialStore store(kService, kAccount, KeychainOperations::system());
        if (const Status saved = store.save(u"sk-running"_s); !saved.ok()) {
            failure = saved.error().description();
            return;
        }
        if (voice.start() == 0)
            return;
        const QString runtime = home.filePath(u"runtime"_s);
        QDir().mkpath(runtime);
        QFile::setPermissions(runtime, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        qputenv("XDG_RUNTIME_DIR", QFile::encodeName(runtime));
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(home.path()));
        qputenv("OPENAI_BASE_URL", voice.baseUrl().toString().toUtf8());
        // The wake phrase would hold the microphone; it has tests of its own.
        QDir().mkpath(home.filePath(u"kestrabo"_s));
        QFile preferences(home.filePath(u"kestrabo/kestrabo.conf"_s));
        if (!preferences.open(QIODevice::WriteOnly) || preferences.write("[General]\nwakeWordEnabled=false\n") < 0)
            return;
        preferences.close();
        failure = u"another instance answers"_s;
        delegate = std::make_unique<AppDelegate>(LaunchOptions{.mode = mode});
        if (!delegate->applicationDidFinishLaunching())
            delegate.reset();
        else
            failure.clear();
    }

    AppModel& model() { return *delegate->model(); }

    // The executable, as a second launch from the same session.
    int launch(const QStringList& arguments)
    {
        QProcess process;
        process.start(QStringLiteral(KESTRABO_BINARY_DIR "/src/kestrabo"), arguments);
        // It must end at once, so the event loop here (which answers it) keeps running meanwhile.
        if (!test::waitUntil([&] { return process.state() == QProcess::NotRunning; }, 10'000))
            return -1;
        return process.exitCode();
    }

    int closes() { return int(voice.received(u"session.close"_s).size()); }
};

} // namespace

TEST(Running, ASecondLaunchOpensTheIslandAndToggleStartsAndEndsAConversation)
{
    Running r;
    ASSERT_TRUE(r.delegate) << r.failure.toStdString();
    AppModel& model = r.model();
    EXPECT_EQ(model.apiKey(), u"sk-running"_s);
    EXPECT_TRUE(model.expanded());
    EXPECT_TRUE(model.settings());
    EXPECT_FALSE(AppDelegate::applicationShouldTerminateAfterLastWindowClosed());
    EXPECT_FALSE(QApplication::quitOnLastWindowClosed());

    model.setExpanded(false);
    EXPECT_EQ(r.launch({}), 0);
    EXPECT_TRUE(test::waitUntil([&] { return model.expanded(); }));
    EXPECT_FALSE(model.active());

    EXPECT_EQ(r.launch({u"--toggle"_s}), 0);
    ASSERT_TRUE(test::waitUntil([&] { return model.state() == CompanionState::listening; }, 15'000))
        << model.error().value_or(QString()).toStdString();
    EXPECT_FALSE(model.settings());
    EXPECT_EQ(r.voice.received(u"session.start"_s).size(), 1);

    EXPECT_EQ(r.launch({u"--toggle"_s}), 0);
    EXPECT_TRUE(test::waitUntil([&] { return !model.active() && r.closes() == 1; }, 10'000));
    EXPECT_EQ(model.state(), CompanionState::stopped);
}

TEST(Running, QuittingEndsTheConversationAndEveryCodexProcessGroupButKeepsTheKey)
{
    // Each task's Codex starts a helper in its group that ignores SIGTERM: only SIGKILL ends it.
    fakecodex::FakeCodexDirectory codex;
    ASSERT_TRUE(codex.setScenario(QByteArray(R"({"steps": [{"handshake": {}}, {"spawn": {"ignoreTerm": true}},
                                             {"expect": "never/sent"}]})")));
    fakecodex::PathPrefix path(codex.directory());
    Running r;
    ASSERT_TRUE(r.delegate) << r.failure.toStdString();
    AppModel& model = r.model();
    model.toggle();
    ASSERT_TRUE(test::waitUntil([&] { return model.state() == CompanionState::listening; }, 15'000))
        << model.error().value_or(QString()).toStdString();
    for (const QString& task : {u"Book a table"_s, u"Find a train"_s})
        model.taskManager().start(task, QString(), u"sk-running"_s, {}, std::nullopt);
    const QList<ComputerTaskSession*> sessions = model.taskManager().sessions();
    QList<long long> pids;
    ASSERT_TRUE(test::waitUntil([&] {
        pids.clear();
        for (const QByteArray& line : codex.receivedLines()) {
            if (line.startsWith("#spawned "))
                pids.append(line.mid(9).trimmed().toLongLong());
        }
        return pids.size() == 2;
    }, 15'000));
    for (ComputerTaskSession* session : sessions)
        pids.append(test::codexPid(session));
    EXPECT_EQ(model.runningTaskCount(), 2);

    QElapsedTimer clock;
    clock.start();
    model.quit();
    // The loop ends on its own once the kill delay has run out.
    QApplication::exec();
    EXPECT_GE(clock.elapsed(), 1'000);
    EXPECT_EQ(r.closes(), 1);
    EXPECT_FALSE(model.active());
    EXPECT_TRUE(model.shuttingDown());
    EXPECT_EQ(model.apiKey(), QString());
    EXPECT_EQ(model.runningTaskCount(), 0);
    for (long long pid : pids)
        EXPECT_TRUE(test::waitUntil([&] { return test::processGone(pid); }, 2'000)) << pid;
    EXPECT_EQ(r.keyring->items(kService, kAccount).size(), 1);
}
