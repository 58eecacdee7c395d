#include "input/WakePhrase.h"
#include "input/WakeWordListener.h"
#include "platform/StaticSystemAccess.h"
#include "support/ScriptedRecognizer.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <thread>

using namespace kestrabo;
using test::RecognizerScript;

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
        int ms;
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
    Timer* live()
    {
        for (Timer& timer : timers)
            if (!timer.job.isCancelled())
                return &timer;
        return nullptr;
    }
    int pendingMs() { return live() ? live()->ms : -1; }
    void elapse()
    {
        Timer* timer = live();
        timer->job.cancel();
        timer->work();
    }
    // Results from the recogniser's own thread, then the main thread's turn.
    void results(std::function<void(const SpeechRecognizer::ResultHandler&)> deliver)
    {
        std::thread([&, handler = script->onResult] { deliver(handler); }).join();
        test::spin(10);
    }
    void error() { results([](auto& handler) { handler(QString(), false, true); }); }
};

} // namespace

TEST(WakePhrase, MatchesHeyFollowedByTheNameAsWholeWords)
{
    const std::pair<const char*, bool> cases[] = {
        {"HEY KESTRABO", true},       {"Hey... kestrabo?", true},     {"hey, hey kestrabo", true},
        {"okay hey throttle", true},  {"so hey\tkestrabo2", true},    {"kestrabo hey", false},
        {"hey", false},               {"hey there kestrabo", false},  {"heykestrabo", false},
        {"hey kestrabos", false},     {"they kestrabo", false},       {"", false},
    };
    for (const auto& [text, expected] : cases)
        EXPECT_EQ(WakePhrase::matches(QString::fromUtf8(text)), expected) << text;
}

TEST(WakeWordListener, ThePhraseInAPartialResultWakesOnceAndReleasesTheMicrophone)
{
    Listener l;
    l.turnOn();
    EXPECT_TRUE(l.script->running);
    EXPECT_EQ(l.script->hints, QStringList{QStringLiteral("Hey kestrabo")});
    EXPECT_EQ(l.pendingMs(), WakeWordListener::renewalMs);
    l.results([](auto& handler) { handler(QStringLiteral("hey there"), false, false); });
    EXPECT_TRUE(l.script->running);

    // A second report of the same task, made before it was stopped, counts for nothing.
    l.results([](auto& handler) {
        handler(QStringLiteral("Hey kestrabo"), false, false);
        handler(QStringLiteral("Hey kestrabo"), true, false);
    });
    EXPECT_EQ(l.wakes, 1);
    EXPECT_FALSE(l.listener.wanted);
    EXPECT_FALSE(l.script->running);
    EXPECT_EQ(l.pendingMs(), -1);
    EXPECT_EQ(l.statuses, QStringList{kListening});
}

TEST(WakeWordListener, RetriesBackOffAndOnlyRenewalOrAFinalResultResetTheDelay)
{
    Listener l;
    l.turnOn();
    for (int expected : {2000, 4000, 8000, 16000, 30000, 30000}) {
        l.error();
        EXPECT_FALSE(l.script->running);
        EXPECT_EQ(l.statuses.last(), kRetrying);
        EXPECT_EQ(l.pendingMs(), expected);
        l.elapse();
        EXPECT_TRUE(l.script->running);
        EXPECT_EQ(l.statuses.last(), kListening);
    }
    l.elapse(); // the 50-second renewal: a new task, and the delay starts over
    EXPECT_TRUE(l.script->running);
    l.error();
    EXPECT_EQ(l.pendingMs(), 2000);
    l.elapse();
    l.error();
    l.elapse();
    l.results([](auto& handler) { handler(QStringLiteral("hello"), true, false); });
    EXPECT_TRUE(l.script->running);
    EXPECT_EQ(l.listener.retryDelay, 2.0);

    // Unavailable for now, or a microphone that cannot start: retried the same way.
    l.script->available = false;
    l.elapse();
    EXPECT_EQ(l.pendingMs(), 2000);
    l.script->available = true;
    l.script->startFails = true;
    l.elapse();
    EXPECT_EQ(l.pendingMs(), 4000);
    EXPECT_FALSE(l.script->running);
}

TEST(WakeWordListener, TurningOffCancelsTheRetrySilentlyAndOldResultsAreIgnored)
{
    Listener l;
    l.turnOn();
    const auto firstTask = l.script->onResult;
    l.error();
    const QStringList reported = l.statuses;
    l.listener.wanted = false;
    l.listener.tearDown();
    EXPECT_EQ(l.pendingMs(), -1);
    EXPECT_EQ(l.statuses, reported);

    l.turnOn();
    l.results([&](auto&) { firstTask(QStringLiteral("hey kestrabo"), false, false); });
    EXPECT_EQ(l.wakes, 0);
    EXPECT_TRUE(l.script->running);
}

TEST(WakeWordListener, MissingPermissionOrRecognizerTurnsListeningOff)
{
    const QString notAllowed = QStringLiteral("Allow Microphone access to use Hey, kestrabo.");
    const QString none =
        QStringLiteral("On-device English speech recognition is unavailable on this computer. Use Start talking.");
    const std::pair<std::function<void(Listener&)>, QString> cases[] = {
        {[](Listener& l) { l.access.microphone = false; }, notAllowed},
        {[](Listener& l) { l.access.speech = SpeechAuthorization::notDetermined; }, notAllowed},
        {[](Listener& l) { l.script->exists = false; }, none},
        {[](Listener& l) { l.script->onDevice = false; }, none},
    };
    for (const auto& [setUp, status] : cases) {
        Listener l;
        setUp(l);
        l.turnOn();
        EXPECT_FALSE(l.listener.wanted);
        EXPECT_EQ(l.statuses, QStringList{status});
        EXPECT_EQ(l.script->starts, 0);
        EXPECT_EQ(l.pendingMs(), -1);
    }
}
