#include "input/WakeWordListener.h"
#include "live/AudioEngine.h"
#include "live/LiveConnection.h"
#include "support/ModelFixture.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

using namespace kestrabo;
using namespace Qt::StringLiterals;
using test::ModelFixture;

namespace {

// Everything a stop may touch, for comparing one stop with two.
struct Snapshot {
    CompanionState state;
    bool active, reading, selected, expanded;
    float level;
    QString contextLabel, wakeWordStatus;
    std::optional<QString> error;
    bool connected;
    friend bool operator==(const Snapshot&, const Snapshot&) = default;
};

Snapshot snapshot(AppModel& model)
{
    return {model.state(), model.active(),       model.reading(),        model.selected(), model.expanded(),
            model.level(), model.contextLabel(), model.wakeWordStatus(), model.error(),    model.live().isConnected()};
}

// A model whose conversation has started and waits for the microphone answer.
AppModel& connecting(ModelFixture& f)
{
    f.access.holdRequests = true;
    AppModel& model = f.make();
    model.setApiKey(u"sk-test"_s);
    model.toggle();
    return model;
}

} // namespace

TEST(AppModel, StoredSettingsFallBackToDefaultsAndTheShortcutIsWrittenBack)
{
    {
        ModelFixture f;
        f.preferences->setValue(u"conversationShortcut"_s, u"leftShift"_s);
        f.preferences->setValue(u"wakeWordEnabled"_s, u"maybe"_s);
        AppModel& model = f.make();
        EXPECT_EQ(model.shortcut(), HotkeyModifier::rightShift);
        EXPECT_EQ(f.preferences->value(u"conversationShortcut"_s).toString(), u"rightShift"_s);
        EXPECT_TRUE(model.wakeWordEnabled());
    }
    {
        ModelFixture f;
        f.preferences->setValue(u"conversationShortcut"_s, u"rightOption"_s);
        f.preferences->setValue(u"wakeWordEnabled"_s, false);
        AppModel& model = f.make();
        EXPECT_EQ(model.shortcut(), HotkeyModifier::rightOption);
        EXPECT_EQ(model.hotkey().modifier(), HotkeyModifier::rightOption);
        EXPECT_FALSE(model.wakeWordEnabled());

        model.setShortcut(HotkeyModifier::rightControl);
        model.setWakeWordEnabled(true);
        f.preferences->sync();
        QSettings reread(f.preferences->fileName(), QSettings::IniFormat);
        EXPECT_EQ(reread.value(u"conversationShortcut"_s).toString(), u"rightControl"_s);
        EXPECT_EQ(reread.value(u"wakeWordEnabled"_s).toString(), u"true"_s);
    }
}

// A start needs a key that is more than blanks, then the microphone.
TEST(AppModel, AKeyOfBlanksOrARefusedMicrophoneStartsNothing)
{
    ModelFixture f;
    f.access.microphoneGrant = false;
    AppModel& model = f.make();
    model.setApiKey(u"  \n\t "_s);
    model.toggle();
    EXPECT_TRUE(model.expanded());
    EXPECT_TRUE(model.settings());
    EXPECT_FALSE(model.active());
    EXPECT_EQ(model.state(), CompanionState::idle);
    test::spin(20);
    EXPECT_EQ(f.access.microphoneRequests, 0);

    model.setExpanded(false);
    model.setApiKey(u"sk-test"_s);
    model.toggle();
    ASSERT_TRUE(test::waitUntil([&] { return model.state() == CompanionState::failed; }));
    EXPECT_EQ(model.error(), u"Allow Microphone access in the system settings, then start again."_s);
    EXPECT_FALSE(model.active());
    EXPECT_TRUE(model.expanded());
    EXPECT_FALSE(model.microphoneAllowed());
    EXPECT_FALSE(model.live().isConnected());
}

TEST(AppModel, ToggleWhileConnectingStopsAndThePendingStartNeverConnects)
{
    ModelFixture f;
    AppModel& model = connecting(f);
    ASSERT_TRUE(test::waitUntil([&] { return f.access.hasHeldMicrophoneRequest(); }));
    model.toggle();
    EXPECT_FALSE(model.active());
    EXPECT_EQ(model.state(), CompanionState::stopped);

    f.access.answerMicrophone(true);
    test::spin(30);
    EXPECT_FALSE(model.live().isConnected());
    EXPECT_EQ(model.state(), CompanionState::stopped);
}

TEST(AppModel, PlaybackAndAudioReportsWhileActiveThenStopTwiceEqualsOnce)
{
    ModelFixture f;
    AppModel& model = connecting(f);
    model.audio().onPlaybackState(true);
    EXPECT_EQ(model.state(), CompanionState::speaking);
    model.audio().onPlaybackState(false);
    EXPECT_EQ(model.state(), CompanionState::listening);
    model.audio().onNotice(u"Echo cancellation could not start (audio error 3)."_s);
    EXPECT_TRUE(model.audioNotice().has_value());
    model.audio().onNotice(QString());
    EXPECT_FALSE(model.audioNotice().has_value());
    model.audio().onLevel(0.5f);
    EXPECT_FLOAT_EQ(model.level(), 0.5f);

    model.stop();
    const Snapshot once = snapshot(model);
    model.stop();
    EXPECT_EQ(snapshot(model), once);
    EXPECT_EQ(once.state, CompanionState::stopped);
    EXPECT_FLOAT_EQ(once.level, 0.0f);
    model.audio().onPlaybackState(true);
    model.audio().onPlaybackState(false);
    EXPECT_EQ(model.state(), CompanionState::stopped);

    ModelFixture g;
    AppModel& failing = connecting(g);
    failing.audio().onFailure(u"Speaker playback cannot keep up. Please reconnect."_s);
    EXPECT_EQ(failing.state(), CompanionState::failed);
    EXPECT_EQ(failing.error(), u"Speaker playback cannot keep up. Please reconnect."_s);
}

TEST(AppModel, RendersVoiceDiagnosticsAsOneLineAndStatesByTheirLabels)
{
    for (CompanionState state :
         {CompanionState::idle, CompanionState::connecting, CompanionState::listening, CompanionState::speaking,
          CompanionState::looking, CompanionState::stopped, CompanionState::failed})
        EXPECT_EQ(companionStateFromLabel(label(state)), state);
    EXPECT_FALSE(companionStateFromLabel(u"Listening"_s).has_value());

    LiveDiagnostics diagnostics;
    diagnostics.inputChunks = 12;
    diagnostics.inputBytes = 57600;
    diagnostics.outputChunks = 3;
    diagnostics.outputBytes = 9600;
    diagnostics.lastEventType = u"session.output_audio.delta"_s;
    EXPECT_EQ(AppModel::renderDiagnostics(diagnostics),
              u"Sent 12 chunks, 57600 bytes. Received 3 chunks, 9600 bytes. "
              "Last event: session.output_audio.delta"_s);

    ModelFixture f;
    AppModel& model = f.make();
    model.live().onDiagnostics(diagnostics);
    EXPECT_EQ(model.voiceDiagnostics(), AppModel::renderDiagnostics(diagnostics));
}

TEST(AppModel, WakeListeningFollowsShortcutsConversationAndSetting)
{
    {
        ModelFixture f; // shortcuts disabled, as in preview mode
        AppModel& model = f.make();
        model.setWakeWordEnabled(true);
        EXPECT_FALSE(model.wakeListener().wanted);
        EXPECT_EQ(model.wakeWordStatus(), u"Wake listening is off."_s);
        EXPECT_FALSE(model.shortcutAvailable());
        model.refreshPermissions();
        EXPECT_FALSE(model.shortcutAvailable());
    }
    {
        ModelFixture f;
        f.access.speech = SpeechAuthorization::authorized;
        f.access.holdRequests = true;
        AppModel& model = f.make({.enableShortcuts = true, .loadCredentials = true});
        EXPECT_TRUE(model.wakeListener().wanted);
        model.setWakeWordEnabled(true); // already listening: no second attempt
        model.refreshPermissions();
        EXPECT_EQ(f.recognizer->starts, 1);
        model.setApiKey(u"sk-test"_s);
        model.toggle();
        EXPECT_FALSE(model.wakeListener().wanted);
        EXPECT_EQ(model.wakeWordStatus(), u"Wake listening pauses during your conversation."_s);
        EXPECT_FALSE(f.recognizer->running); // the microphone belongs to the conversation
        model.stop();
        EXPECT_TRUE(f.recognizer->running);
        model.setWakeWordEnabled(false);
        EXPECT_FALSE(model.wakeListener().wanted);
        EXPECT_EQ(model.wakeWordStatus(), u"Wake listening is off."_s);
    }
}

TEST(AppModel, OneWakeAccessRequestAtATime)
{
    ModelFixture f;
    f.access.holdRequests = true;
    f.access.microphone = false;
    AppModel& model = f.make();
    model.requestWakeAccess();
    EXPECT_TRUE(model.wakePermissionPending());
    model.requestWakeAccess();
    EXPECT_EQ(f.access.microphoneRequests, 1);
    f.access.answerMicrophone(true);
    EXPECT_TRUE(model.wakePermissionPending()); // speech still undecided: asked next
    f.access.answerSpeech(true);
    EXPECT_FALSE(model.wakePermissionPending());
    EXPECT_TRUE(model.microphoneAllowed());
    EXPECT_TRUE(model.speechAllowed());
}

TEST(AppModel, QuitShutsDownAndClearsTheKeyInMemoryOnly)
{
    ModelFixture f;
    (void)f.memoryStore.save(u"sk-stored"_s);
    AppModel& model = f.make();
    bool terminated = false;
    model.onTerminate = [&] { terminated = true; };
    model.quit();
    EXPECT_TRUE(terminated);
    EXPECT_TRUE(model.shuttingDown());
    EXPECT_EQ(model.apiKey(), QString());
    EXPECT_EQ(f.memoryStore.load().value(), u"sk-stored"_s);
    EXPECT_EQ(model.state(), CompanionState::stopped);
}
