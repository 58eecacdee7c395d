#include "live/AudioEngine.h"
#include "support/FakeAudioDevice.h"
#include "support/ModelFixture.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <cmath>
#include <thread>

using namespace kestrabo;
using namespace kestrabo::test;

namespace {

// An engine on the scripted device, recording every callback.
struct EngineFixture {
    std::shared_ptr<FakeAudioScript> script = std::make_shared<FakeAudioScript>();
    AudioEngine engine{FakeAudioDevice::factory(script)};
    std::vector<QByteArray> audio;
    std::vector<float> levels;
    std::vector<bool> playback;
    QStringList failures;
    QStringList notices;

    EngineFixture()
    {
        engine.onAudio = [this](const QByteArray& data) { audio.push_back(data); };
        engine.onLevel = [this](float level) { levels.push_back(level); };
        engine.onPlaybackState = [this](bool playing) { playback.push_back(playing); };
        engine.onFailure = [this](const QString& text) { failures.append(text); };
        engine.onNotice = [this](const QString& text) { notices.append(text); };
    }
};

std::vector<float> block(int channels, const std::function<float(int frame, int channel)>& sample)
{
    std::vector<float> samples(size_t(AudioDevice::captureBlockFrames * channels));
    for (int frame = 0; frame < AudioDevice::captureBlockFrames; ++frame)
        for (int channel = 0; channel < channels; ++channel)
            samples[size_t(frame * channels + channel)] = sample(frame, channel);
    return samples;
}

float square(int frame) { return (frame / 24) % 2 == 0 ? 1.0f : -1.0f; } // 1 kHz at 48 kHz

QByteArray pcm(std::initializer_list<int16_t> samples)
{
    QByteArray bytes;
    for (int16_t sample : samples) {
        bytes.append(char(uint16_t(sample) & 0xff));
        bytes.append(char(uint16_t(sample) >> 8));
    }
    return bytes;
}

const QString kEchoNotice = QStringLiteral(
    "Echo cancellation could not start (audio error 42). Use headphones to prevent the assistant hearing its own voice.");

} // namespace

TEST(AudioEngine, ConvertsCaptureBlocksToWireAudioWithLevel)
{
    EngineFixture f;
    ASSERT_TRUE(f.engine.start());

    // 48 kHz, 1,024 frames: at most ceil(512) + 16 frames, about 512 on average.
    for (int i = 0; i < 20; ++i)
        f.script->capture(block(1, [](int frame, int) { return 0.01f * std::sin(float(frame) * 0.1309f); }));
    ASSERT_TRUE(waitUntil([&] { return f.audio.size() == 20; }));
    qsizetype total = 0;
    for (const QByteArray& data : f.audio) {
        EXPECT_LE(data.size() / 2, 528);
        EXPECT_EQ(data.size() % 2, 0);
        total += data.size() / 2;
    }
    EXPECT_NEAR(double(total) / 20, 512.0, 8.0);
    ASSERT_EQ(f.levels.size(), 20u);
    // A 0.01 sine: RMS 0.00707, level 7 × RMS.
    EXPECT_NEAR(f.levels.back(), 7 * 0.01 / std::sqrt(2.0), 0.005);

    // Silence has level 0 (once the converter's filter has forgotten the tone); a full-scale
    // square wave has 7 × RMS capped to 1.
    f.levels.clear();
    f.script->capture(block(1, [](int, int) { return 0.0f; }));
    f.script->capture(block(1, [](int, int) { return 0.0f; }));
    f.script->capture(block(1, [](int frame, int) { return square(frame); }));
    ASSERT_TRUE(waitUntil([&] { return f.levels.size() == 3; }));
    EXPECT_EQ(f.levels[1], 0.0f);
    EXPECT_EQ(f.levels[2], 1.0f);
}

TEST(AudioEngine, StereoInputContributesOnlyItsFirstChannel)
{
    EngineFixture f;
    f.script->input = {44100, 2};
    ASSERT_TRUE(f.engine.start());
    const int capacity = int(std::ceil(1024.0 * 24000 / 44100)) + 16;

    // Loud right channel, silent left: nothing of it may reach the wire.
    f.script->capture(block(2, [](int frame, int channel) { return channel == 0 ? 0.0f : square(frame); }));
    // And the other way round.
    f.script->capture(block(2, [](int frame, int channel) { return channel == 0 ? square(frame) : 0.0f; }));
    ASSERT_TRUE(waitUntil([&] { return f.audio.size() == 2; }));
    EXPECT_LE(f.audio[0].size() / 2, capacity);
    EXPECT_EQ(f.audio[0], QByteArray(f.audio[0].size(), '\0'));
    EXPECT_EQ(f.levels[0], 0.0f);
    EXPECT_EQ(f.levels[1], 1.0f);
}

TEST(AudioEngine, CaptureOverloadFailsOnceAndDeliversNothingUntilStop)
{
    EngineFixture f;
    ASSERT_TRUE(f.engine.start());
    const auto tone = block(1, [](int frame, int) { return 0.2f * std::sin(float(frame) * 0.2f); });

    // The main thread does not run while 600 blocks (about 600 KB of wire audio) arrive.
    for (int i = 0; i < 600; ++i)
        f.script->capture(tone);
    spin(200);
    ASSERT_EQ(f.failures, QStringList{QStringLiteral("Microphone processing cannot keep up. Please reconnect.")});
    qsizetype delivered = 0;
    for (const QByteArray& data : f.audio)
        delivered += data.size();
    EXPECT_LE(delivered, AudioEngine::captureBacklogBytes);
    EXPECT_GT(delivered, AudioEngine::captureBacklogBytes - 2'000);
    EXPECT_EQ(f.levels.size(), f.audio.size());

    // Still overloaded: nothing more, and no second failure.
    const size_t before = f.audio.size();
    f.script->capture(tone);
    spin(100);
    EXPECT_EQ(f.audio.size(), before);
    EXPECT_EQ(f.failures.size(), 1);

    // A new epoch delivers again.
    ASSERT_TRUE(f.engine.start());
    f.script->capture(tone);
    ASSERT_TRUE(waitUntil([&] { return f.audio.size() == before + 1; }));
    EXPECT_EQ(f.failures.size(), 1);
}

TEST(AudioEngine, StopDropsCaptureInFlightAndAudioThreadDeliversInOrder)
{
    EngineFixture f;
    ASSERT_TRUE(f.engine.start());
    const auto tone = block(1, [](int frame, int) { return 0.2f * std::sin(float(frame) * 0.2f); });
    f.script->capture(tone);
    f.script->capture(tone);
    f.engine.stop();
    spin(100);
    EXPECT_TRUE(f.audio.empty());
    EXPECT_TRUE(f.levels.empty());

    // Blocks from a real second thread, delivered on the main thread in their order.
    ASSERT_TRUE(f.engine.start());
    std::vector<std::vector<float>> blocks;
    for (int i = 0; i < 50; ++i)
        blocks.push_back(block(1, [i](int, int) { return float(i) / 100.0f; }));
    auto capture = f.script->onCapture;
    std::thread audioThread([&] {
        for (const auto& samples : blocks)
            capture(samples.data(), AudioDevice::captureBlockFrames);
    });
    const bool all = waitUntil([&] { return f.audio.size() == 50; });
    audioThread.join();
    ASSERT_TRUE(all);
    for (size_t i = 1; i < f.levels.size(); ++i)
        EXPECT_GE(f.levels[i], f.levels[i - 1]);
}

TEST(AudioEngine, PlaysWholeSamplesAndReportsPlaybackState)
{
    EngineFixture f;
    f.engine.play(pcm({1000})); // not running: ignored
    ASSERT_TRUE(f.engine.start());
    EXPECT_TRUE(f.script->scheduled.empty());

    f.engine.play(QByteArray("\x01\x02\x03", 3));
    f.engine.play(QByteArray());
    EXPECT_TRUE(f.script->scheduled.empty());
    EXPECT_TRUE(f.playback.empty());

    // Little-endian 16-bit samples scaled by 1/32,768.
    f.engine.play(pcm({16384}));
    ASSERT_EQ(f.script->scheduled.size(), 1u);
    EXPECT_EQ(f.script->scheduled[0].samples, std::vector<float>{0.5f});
    f.engine.play(pcm({32767, -32768, 0}));
    ASSERT_EQ(f.script->scheduled.size(), 2u);
    EXPECT_EQ(f.script->scheduled[1].samples, (std::vector<float>{32767.0f / 32768.0f, -1.0f, 0.0f}));
    EXPECT_EQ(f.playback, std::vector<bool>{true});
    EXPECT_EQ(f.engine.queuedFrames(), 4);

    // Stopped only after the last overlapping block has played.
    f.script->finish(0);
    spin(50);
    EXPECT_EQ(f.playback, std::vector<bool>{true});
    f.script->finish(1);
    ASSERT_TRUE(waitUntil([&] { return f.playback.size() == 2; }));
    EXPECT_EQ(f.playback, (std::vector<bool>{true, false}));
    EXPECT_EQ(f.engine.queuedFrames(), 0);

    // Playback from silence again starts again.
    f.engine.play(pcm({1, 2}));
    EXPECT_EQ(f.playback, (std::vector<bool>{true, false, true}));
}

TEST(AudioEngine, StopEndsPlaybackAtOnceAndOldCompletionsChangeNothing)
{
    EngineFixture f;
    ASSERT_TRUE(f.engine.start());
    f.engine.play(pcm({1, 2, 3}));
    f.engine.play(pcm({4, 5}));
    // One completion is already on its way to the main thread when the engine stops.
    f.script->finish(0);
    f.engine.stop();
    EXPECT_EQ(f.playback, (std::vector<bool>{true, false}));

    // A new conversation plays; the old epoch's completions arrive late.
    ASSERT_TRUE(f.engine.start());
    f.engine.play(pcm({7, 8, 9, 10}));
    f.script->finish(1);
    spin(100);
    EXPECT_EQ(f.playback, (std::vector<bool>{true, false, true}));
    EXPECT_EQ(f.engine.queuedFrames(), 4);
    f.script->finish(2);
    ASSERT_TRUE(waitUntil([&] { return f.playback.size() == 4; }));
    EXPECT_FALSE(f.playback.back());

    // Stopping with nothing queued reports nothing.
    f.engine.stop();
    EXPECT_EQ(f.playback.size(), 4u);
}

TEST(AudioEngine, PlaybackBacklogIsBoundedAtThirtySeconds)
{
    EngineFixture f;
    ASSERT_TRUE(f.engine.start());
    f.engine.play(QByteArray(int(AudioEngine::playbackBacklogFrames) * 2, '\0'));
    EXPECT_EQ(f.engine.queuedFrames(), AudioEngine::playbackBacklogFrames);
    f.engine.play(pcm({1}));
    EXPECT_EQ(f.failures, QStringList{QStringLiteral("Speaker playback cannot keep up. Please reconnect.")});
    EXPECT_EQ(f.script->scheduled.size(), 1u);
    EXPECT_EQ(f.engine.queuedFrames(), AudioEngine::playbackBacklogFrames);
}

TEST(AudioEngine, StartPrefersVoiceProcessingAndFallsBackWithNotice)
{
    {
        EngineFixture f;
        f.notices.append(QStringLiteral("earlier notice"));
        ASSERT_TRUE(f.engine.start());
        EXPECT_TRUE(f.engine.voiceProcessingEnabled());
        EXPECT_TRUE(f.script->voiceProcessing);
        EXPECT_EQ(f.notices.last(), QString());
        EXPECT_TRUE(f.notices.last().isEmpty());
    }
    {
        EngineFixture f;
        f.script->voiceProcessingError = 42;
        ASSERT_TRUE(f.engine.start());
        EXPECT_TRUE(f.engine.isRunning());
        EXPECT_FALSE(f.engine.voiceProcessingEnabled());
        EXPECT_EQ(f.notices, QStringList{kEchoNotice});
        // Ordinary audio works fully.
        f.script->capture(block(1, [](int frame, int) { return square(frame); }));
        EXPECT_TRUE(waitUntil([&] { return f.audio.size() == 1; }));
    }
    {
        EngineFixture f;
        f.script->voiceProcessingError = 42;
        f.script->ordinaryError = -7;
        const Status started = f.engine.start();
        ASSERT_FALSE(started);
        EXPECT_EQ(started.error().description(),
                  QStringLiteral("Audio devices could not initialize (voice processing: 42, ordinary audio: -7). Check "
                                 "the input and output devices in macOS Sound settings, close other apps using the "
                                 "microphone, then retry."));
        EXPECT_FALSE(f.engine.isRunning());
        EXPECT_FALSE(f.script->running);
        EXPECT_TRUE(f.notices.isEmpty());
        f.engine.play(pcm({1}));
        EXPECT_TRUE(f.script->scheduled.empty());
    }
    {
        // No microphone at all: both attempts end with the missing-device code.
        EngineFixture f;
        f.script->input = {};
        const Status started = f.engine.start();
        ASSERT_FALSE(started);
        EXPECT_TRUE(started.error().description().startsWith(
            QStringLiteral("Audio devices could not initialize (voice processing: 5, ordinary audio: 5).")));
    }
    {
        EngineFixture f;
        f.script->output = {0, 2};
        f.script->voiceProcessingError = 42;
        EXPECT_FALSE(f.engine.start());
    }
}

TEST(AudioEngine, RefusesToStartWithoutMicrophoneAccess)
{
    const QString text = QStringLiteral("Allow Microphone access in macOS settings, then start again.");
    EngineFixture f;
    f.script->authorized = false;
    const Status started = f.engine.start();
    ASSERT_FALSE(started);
    EXPECT_EQ(started.error().description(), text);
    EXPECT_EQ(f.script->configures, 0);

    AudioEngine withoutDevice;
    const Status none = withoutDevice.start();
    ASSERT_FALSE(none);
    EXPECT_EQ(none.error().description(), text);
}

TEST(AudioEngine, ModelBuildsItsEngineFromThePlatformDevice)
{
    ModelFixture fixture;
    AppModel& model = fixture.make();
    ASSERT_TRUE(model.audio().start());
    EXPECT_EQ(fixture.audio->configures, 1);
    fixture.audio->capture(block(1, [](int frame, int) { return square(frame); }));
    EXPECT_TRUE(waitUntil([&] { return model.level() == 1.0f; }));
    model.audio().stop();
}
