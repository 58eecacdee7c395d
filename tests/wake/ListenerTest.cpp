#include "input/WakePhrase.h"
#include "input/WakeWordListener.h"
#include "platform/StaticSystemAccess.h"
#include "support/ModelFixture.h"
#include "support/ScriptedRecognizer.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <thread>

using namespace kestrabo;
using test::RecognizerScript;
using test::waitUntil;

namespace {

const QString kListening = QStringLiteral("Listening for Hey, kestrabo on this computer.");
const QString kRetrying = QStringLiteral("Wake listening is unavailable. Retrying; you can use Start talking.");

// A listener on a scripted recogniser and a hand-driven clock.
struct Listener {
    StaticSystemAccess access;
    std::shared_ptr<RecognizerScript> script = std::make_shared<RecognizerScript>();
    WakeWordListener listener{&access, RecognizerScript::factory(script)};
    QStringList statuses;
    int wakes = 0;
    struct Timer {
        Job job;
        int milliseconds;
        std::function<void()> work;
    };
    std::vector<Timer> timers;

    Listener()
    {
        access.speech = SpeechAuthorization::authorized;
        listener.onStatus = [this](const QString& text) { statuses.append(text); };
        listener.onWake = [this] { ++wakes; };
        listener.schedule = [this](const Job& job, int ms, std::function<void()> work) {
            timers.push_back({job, ms, std::move(work)});
        };
    }

    void turnOn()
    {
        listener.wanted = true;
        listener.beginRecognition();
    }

    // The delay of the one live timer, -1 when there is none.
    int pendingDelay() const
    {
        int delay = -1;
        for (const Timer& timer : timers) {
            if (!timer.job.isCancelled())
                delay = delay == -1 ? timer.milliseconds : -2;
        }
        return delay;
    }

    // Lets the live timer run out.
    void elapse()
    {
        for (Timer& timer : timers) {
            if (!timer.job.isCancelled()) {
                auto work = std::move(timer.work);
                timer.job.cancel();
                work();
                return;
            }
        }
    }

    // A result from the recogniser's own thread, then the main thread's turn.
    void result(const QString& text, bool isFinal = false, bool error = false)
    {
        std::thread([&] { script->deliver(text, isFinal, error); }).join();
        test::spin(10);
    }
};

} // namespace

TEST(WakePhrase, MatchesHeyFollowedByTheNameAsWholeWords)
{
    const std::pair<const char*, bool> cases[] = {
        {"Hey kestrabo", true},
        {"HEY KESTRABO", true},
        {"Hey... kestrabo?", true},
        {"Hey, Kestrabo!", true},
        {"hey, hey kestrabo", true},
        {"okay hey throttle", true},
        {"so hey\tkestrabo2", true},
        {"kestrabo hey", false},
        {"hey", false},
        {"hey there kestrabo", false},
        {"heykestrabo", false},
        {"hey kestrabos", false},
        {"they kestrabo", false},
        {"hey throttles", false},
        {"", false},
    };
    for (const auto& [text, expected] : cases)
        EXPECT_EQ(WakePhrase::matches(QString::fromUtf8(text)), expected) << text;
}

TEST(WakeWordListener, PhraseInAPartialResultWakesOnceAndReleasesTheMicrophone)
{
    Listener l;
    l.turnOn();
    EXPECT_TRUE(l.script->running);
    EXPECT_EQ(l.script->hints, QStringList{QStringLiteral("Hey kestrabo")});
    EXPECT_EQ(l.statuses, QStringList{kListening});
    EXPECT_EQ(l.pendingDelay(), WakeWordListener::renewalMs);

    l.result(QStringLiteral("hey there")); // a partial without the phrase changes nothing
    EXPECT_TRUE(l.script->running);
    EXPECT_EQ(l.wakes, 0);

    // The recogniser may report twice before it is stopped; only the first counts.
    std::thread([&] {
        auto handler = l.script->onResult;
        handler(QStringLiteral("Hey kestrabo"), false, false);
        handler(QStringLiteral("Hey kestrabo"), true, false);
    }).join();
    test::spin(10);
    EXPECT_EQ(l.wakes, 1);
    EXPECT_FALSE(l.listener.wanted);
    EXPECT_FALSE(l.script->running);
    EXPECT_FALSE(l.listener.isListening());
    EXPECT_EQ(l.pendingDelay(), -1); // the renewal went with the attempt
    EXPECT_EQ(l.statuses, QStringList{kListening});
}

TEST(WakeWordListener, RetriesBackOffAndRenewalOrFinalResultResetTheDelay)
{
    Listener l;
    l.turnOn();
    for (int expected : {2000, 4000, 8000, 16000, 30000, 30000}) {
        l.result(QString(), false, true);
        EXPECT_FALSE(l.script->running);
        EXPECT_EQ(l.statuses.last(), kRetrying);
        EXPECT_EQ(l.pendingDelay(), expected);
        l.elapse();
        EXPECT_TRUE(l.script->running);
        EXPECT_EQ(l.statuses.last(), kListening);
    }
    // A successful start keeps the delay; the 50-second renewal resets it.
    EXPECT_EQ(l.listener.retryDelay, 30.0);
    const int starts = l.script->starts;
    l.elapse();
    EXPECT_EQ(l.script->starts, starts + 1);
    EXPECT_TRUE(l.script->running);
    l.result(QString(), false, true);
    EXPECT_EQ(l.pendingDelay(), 2000);

    // So does a final result, which starts a new task at once.
    l.elapse();
    l.result(QString(), false, true);
    EXPECT_EQ(l.pendingDelay(), 4000);
    l.elapse();
    l.result(QStringLiteral("hello"), true);
    EXPECT_TRUE(l.script->running);
    EXPECT_EQ(l.listener.retryDelay, 2.0);

    // Unavailable now, or a microphone that cannot start: retried the same way.
    l.script->available = false;
    l.elapse();
    EXPECT_EQ(l.pendingDelay(), 2000);
    l.script->available = true;
    l.script->startFails = true;
    l.elapse();
    EXPECT_EQ(l.pendingDelay(), 4000);
    EXPECT_FALSE(l.script->running);
}

TEST(WakeWordListener, TurningOffCancelsAPendingRetryAndStaleResultsAreIgnored)
{
    Listener l;
    l.turnOn();
    auto oldHandler = l.script->onResult;
    l.result(QString(), false, true);
    ASSERT_EQ(l.pendingDelay(), 2000);
    const int reported = int(l.statuses.size());

    l.listener.wanted = false;
    l.listener.tearDown();
    EXPECT_EQ(l.pendingDelay(), -1);
    EXPECT_EQ(l.statuses.size(), reported);

    // A late result of the first task after turning on again belongs to no current attempt.
    l.turnOn();
    std::thread([&] { oldHandler(QStringLiteral("hey kestrabo"), false, false); }).join();
    test::spin(10);
    EXPECT_EQ(l.wakes, 0);
    EXPECT_TRUE(l.script->running);

    // Destroying a listening listener stops its task.
    {
        StaticSystemAccess access;
        access.speech = SpeechAuthorization::authorized;
        auto script = std::make_shared<RecognizerScript>();
        auto listener = std::make_unique<WakeWordListener>(&access, RecognizerScript::factory(script));
        listener->wanted = true;
        listener->beginRecognition();
        EXPECT_TRUE(script->running);
        listener.reset();
        EXPECT_FALSE(script->running);
    }
}

TEST(WakeWordListener, MissingPermissionOrRecognizerTurnsListeningOffWithItsSentence)
{
    struct Case {
        const char* name;
        std::function<void(Listener&)> setUp;
        QString status;
    };
    const QString notAllowed = QStringLiteral("Allow Microphone access to use Hey, kestrabo.");
    const QString none =
        QStringLiteral("On-device English speech recognition is unavailable on this computer. Use Start talking.");
    const Case cases[] = {
        {"no microphone", [](Listener& l) { l.access.microphone = false; }, notAllowed},
        {"speech undecided", [](Listener& l) { l.access.speech = SpeechAuthorization::notDetermined; }, notAllowed},
        {"no recogniser", [](Listener& l) { l.script->exists = false; }, none},
        {"no model on the device", [](Listener& l) { l.script->onDevice = false; }, none},
    };
    for (const Case& c : cases) {
        Listener l;
        c.setUp(l);
        l.turnOn();
        EXPECT_FALSE(l.listener.wanted) << c.name;
        EXPECT_EQ(l.statuses, QStringList{c.status}) << c.name;
        EXPECT_EQ(l.script->starts, 0) << c.name;
        EXPECT_EQ(l.pendingDelay(), -1) << c.name;
    }
}

TEST(WakeWordListener, TheModelStartsOneAttemptAndHandsTheMicrophoneToTheConversation)
{
    test::ModelFixture f;
    f.access.speech = SpeechAuthorization::authorized;
    f.access.holdRequests = true;
    AppModel& model = f.make({.enableShortcuts = true, .loadCredentials = true});
    EXPECT_EQ(model.wakeWordStatus(), kListening);
    model.setWakeWordEnabled(true);
    model.refreshPermissions();
    EXPECT_EQ(f.recognizer->starts, 1);

    // The phrase starts a conversation, which keeps the microphone to itself.
    model.setApiKey(QStringLiteral("sk-test"));
    f.recognizer->deliver(QStringLiteral("hey kestrabo"));
    ASSERT_TRUE(waitUntil([&] { return model.active(); }));
    EXPECT_TRUE(model.wakeGreetingPending());
    EXPECT_FALSE(f.recognizer->running);
    EXPECT_EQ(model.wakeWordStatus(), QStringLiteral("Wake listening pauses during your conversation."));
    model.stop();
    EXPECT_TRUE(f.recognizer->running);
    EXPECT_EQ(f.recognizer->starts, 2);
}
