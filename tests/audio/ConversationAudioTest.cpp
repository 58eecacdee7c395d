// A conversation whose microphone and speaker are a private PulseAudio server: the stand-in
// voice service hears the microphone and its audio plays through the speaker.

#include "live-sim/LiveSim.h"
#include "live/LiveConnection.h"
#include "platform/linux/PulseAudioDevice.h"
#include "support/ModelFixture.h"
#include "support/PulseDaemon.h"
#include "support/TestSupport.h"


#include <gtest/gtest.h>

using namespace kestrabo;

TEST(ConversationAudio, StreamsTheMicrophoneAndPlaysTheServiceAudio)
{
    test::PulseDaemon daemon;
    const QString problem = daemon.start();
    ASSERT_TRUE(problem.isEmpty()) << problem.toStdString();

    // The service greets with the stand-in's sample speech once the session starts.
    sim::LiveSim voice(
        test::json(R"({"rules": [{"on": "session.start", "steps": [{"delayMs": 300}, {"audio": "greeting.wav"}]}]})"),
        QStringLiteral(KESTRABO_SOURCE_DIR "/tools/live-sim/scenarios"));
    ASSERT_NE(voice.start(), 0) << voice.errorString().toStdString();

    test::ModelFixture f;
    f.platform.audioDevice = pulseAudioDeviceFactory();
    AppModel& model = f.make();
    model.live().setEndpoint(voice.endpoint());
    model.setApiKey(QStringLiteral("sk-audio"));
    QList<CompanionState> states;
    QObject::connect(&model, &AppModel::changed, [&] {
        if (states.isEmpty() || states.last() != model.state())
            states.append(model.state());
    });
    model.toggle();

    ASSERT_TRUE(test::waitUntil([&] { return states.contains(CompanionState::speaking); }, 15'000));
    ASSERT_TRUE(test::waitUntil([&] { return states.last() == CompanionState::listening; }, 15'000));
    ASSERT_TRUE(test::waitUntil(
        [&] { return voice.received(QStringLiteral("session.input_audio.append")).size() >= 10; }, 15'000));
    EXPECT_EQ(model.error(), std::nullopt);
    EXPECT_GT(model.live().diagnostics().inputBytes, 0);
    // Every block on the wire is whole 16-bit samples.
    for (const QJsonObject& event : voice.received(QStringLiteral("session.input_audio.append")))
        EXPECT_EQ(QByteArray::fromBase64(event.value(QStringLiteral("audio")).toString().toLatin1()).size() % 2, 0);
    model.stop();
}
