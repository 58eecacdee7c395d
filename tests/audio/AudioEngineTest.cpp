#include "live/AudioEngine.h"
#include "support/FakeAudioDevice.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
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
    QStringList failures, notices;

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
    for (size_t i = 0; i < samples.size(); ++i)
        samples[i] = sample(int(i) / channels, int(i) % channels);
    return samples;
}

float square(int frame) { return (frame / 24) % 2 == 0 ? 1.0f : -1.0f; } // 1 kHz at 48 kHz
const auto kTone = block(1, [](int frame, int) { return 0.2f * std::sin(float(frame) * 0.2f); });

QByteArray pcm(std::initializer_list<int16_t> samples) // little-endian, as on the wire
{
    return QByteArray(reinterpret_cast<const char*>(samples.begin()), qsizetype(samples.size() * 2));
}

// The start failure's sentence; empty when it started.
QString startFailure(AudioEngine& engine)
{
    const Status started = engine.start();
    return started ? QString() : started.error().description();
}

} // namespace

TEST(AudioEngine, ConvertsCaptureBlocksToWireAudioWithLevel)
{
    EngineFixture f;
    ASSERT_TRUE(f.engine.start());
    // 48 kHz, 1,024 frames from a real audio thread, growing louder: at most ceil(512) + 16 frames
    // each, about 512 on average, delivered in order.
    auto capture = f.script->onCapture;
    std::thread audioThread([&] {
        for (int i = 1; i <= 20; ++i)
            capture(block(1, [i](int frame, int) { return 0.0005f * float(i) * std::sin(float(frame) * 0.1309f); }).data(),
                    AudioDevice::captureBlockFrames);
    });
    const bool all = waitUntil([&] { return f.audio.size() == 20; });
    audioThread.join();
    ASSERT_TRUE(all);
    qsizetype total = 0;
    for (const QByteArray& data : f.audio) {
        EXPECT_LE(data.size() / 2, 528);
        total += data.size() / 2;
    }
    EXPECT_NEAR(double(total) / 20, 512.0, 8.0);
    EXPECT_TRUE(std::is_sorted(f.levels.begin(), f.levels.end()));
    EXPECT_NEAR(f.levels.back(), 7 * 0.01 / std::sqrt(2.0), 0.005); // 7 × RMS

    // Silence (once the converter's filter has forgotten the tone) is 0; full-scale square is capped to 1.
    f.levels.clear();
    for (auto silent : {true, true, false})
        f.script->capture(block(1, [silent](int frame, int) { return silent ? 0.0f : square(frame); }));
    ASSERT_TRUE(waitUntil([&] { return f.levels.size() == 3; }));
    EXPECT_EQ(f.levels[1], 0.0f);
    EXPECT_EQ(f.levels[2], 1.0f);

    // A stereo device contributes only its first channel.
    EngineFixture stereo;
    stereo.script->input = {44100, 2};
    ASSERT_TRUE(stereo.engine.start());
    for (int loud : {1, 0})
        stereo.script->capture(block(2, [loud](int frame, int channel) { return channel == loud ? square(frame) : 0.0f; }));
    ASSERT_TRUE(waitUntil([&] { return stereo.audio.size() == 2; }));
    EXPECT_LE(stereo.audio[0].size() / 2, int(std::ceil(1024.0 * 24000 / 44100)) + 16);
    EXPECT_EQ(stereo.audio[0], QByteArray(stereo.audio[0].size(), '\0'));
    EXPECT_EQ(stereo.levels, (std::vector<float>{0.0f, 1.0f}));
}

TEST(AudioEngine, CaptureOverloadFailsOnceAndDeliversNothingUntilStop)
{
    EngineFixture f;
    ASSERT_TRUE(f.engine.start());
    f.script->capture(kTone);
    f.engine.stop(); // the block in flight is dropped
    spin(100);
    EXPECT_TRUE(f.audio.empty() && f.levels.empty());

    // The main thread does not run while 600 blocks (about 600 KB of wire audio) arrive.
    ASSERT_TRUE(f.engine.start());
    for (int i = 0; i < 600; ++i)
        f.script->capture(kTone);
    spin(200);
    ASSERT_EQ(f.failures, QStringList{QStringLiteral("Microphone processing cannot keep up. Please reconnect.")});
    qsizetype delivered = 0;
    for (const QByteArray& data : f.audio)
        delivered += data.size();
    EXPECT_LE(delivered, AudioEngine::captureBacklogBytes);
    EXPECT_GT(delivered, AudioEngine::captureBacklogBytes - 2'000);
    EXPECT_EQ(f.levels.size(), f.audio.size());

    // Still overloaded: nothing more, and no second failure; a new epoch delivers again.
    const size_t before = f.audio.size();
    f.script->capture(kTone);
    spin(100);
    EXPECT_EQ(f.audio.size(), before);
    ASSERT_TRUE(f.engine.start());
    f.script->capture(kTone);
    ASSERT_TRUE(waitUntil([&] { return f.audio.size() == before + 1; }));
    EXPECT_EQ(f.failures.size(), 1);
}

TEST(AudioEngine, PlaysWholeSamplesAndReportsPlaybackState)
{
    EngineFixture f;
    f.engine.play(pcm({1000})); // not running: ignored
    ASSERT_TRUE(f.engine.start());
    f.engine.play(QByteArray("\x01\x02\x03", 3));
    f.engine.play(QByteArray());
    EXPECT_TRUE(f.script->scheduled.empty() && f.playback.empty());

    // Little-endian 16-bit samples scaled by 1/32,768; started once for overlapping blocks.
    f.engine.play(pcm({16384}));
    f.engine.play(pcm({32767, -32768, 0}));
    ASSERT_EQ(f.script->scheduled.size(), 2u);
    EXPECT_EQ(f.script->scheduled[0].samples, std::vector<float>{0.5f});
    EXPECT_EQ(f.script->scheduled[1].samples, (std::vector<float>{32767.0f / 32768.0f, -1.0f, 0.0f}));
    EXPECT_EQ(f.playback, std::vector<bool>{true});
    EXPECT_EQ(f.engine.queuedFrames(), 4);

    // Stopped only after the last one has played; from silence it starts again.
    f.script->finish(0);
    spin(50);
    EXPECT_EQ(f.playback, std::vector<bool>{true});
    f.script->finish(1);
    ASSERT_TRUE(waitUntil([&] { return f.playback.size() == 2; }));
    EXPECT_EQ(f.engine.queuedFrames(), 0);
    f.engine.play(pcm({1, 2}));
    EXPECT_EQ(f.playback, (std::vector<bool>{true, false, true}));

    // The backlog is bounded at thirty seconds.
    f.engine.play(QByteArray(int(AudioEngine::playbackBacklogFrames - 2) * 2, '\0'));
    EXPECT_EQ(f.engine.queuedFrames(), AudioEngine::playbackBacklogFrames);
    f.engine.play(pcm({1}));
    EXPECT_EQ(f.failures, QStringList{QStringLiteral("Speaker playback cannot keep up. Please reconnect.")});
    EXPECT_EQ(f.script->scheduled.size(), 4u);
}

TEST(AudioEngine, StopEndsPlaybackAtOnceAndNothingOfAStoppedRunChangesAnything)
{
    EngineFixture f;
    ASSERT_TRUE(f.engine.start());
    f.engine.play(pcm({1, 2, 3}));
    f.engine.play(pcm({4, 5}));
    f.script->finish(0); // already on its way to the main thread when the engine stops
    f.engine.stop();
    EXPECT_EQ(f.playback, (std::vector<bool>{true, false}));

    ASSERT_TRUE(f.engine.start());
    f.engine.play(pcm({7, 8, 9, 10}));
    f.script->finish(1);
    spin(100);
    EXPECT_EQ(f.playback, (std::vector<bool>{true, false, true}));
    EXPECT_EQ(f.engine.queuedFrames(), 4);
    f.script->finish(2);
    ASSERT_TRUE(waitUntil([&] { return f.playback.size() == 4; }));
    f.engine.stop(); // nothing queued: nothing reported
    EXPECT_EQ(f.playback, (std::vector<bool>{true, false, true, false}));

    // A device that stops working fails the run once; a loss reported by a stopped run is dropped.
    ASSERT_TRUE(f.engine.start());
    const AudioDevice::FailureHandler lost = f.script->onFailure;
    ASSERT_TRUE(lost);
    lost(6);
    ASSERT_TRUE(waitUntil([&] { return !f.failures.isEmpty(); }));
    EXPECT_EQ(f.failures, QStringList{QStringLiteral("The microphone and speaker stopped working (audio error 6). Check "
                                                     "the sound server and the devices in the system Sound settings, "
                                                     "then start again.")});
    f.engine.stop();
    ASSERT_TRUE(f.engine.start());
    lost(6);
    spin(50);
    EXPECT_EQ(f.failures.size(), 1);
}

TEST(AudioEngine, StartPrefersVoiceProcessingAndFallsBackWithNotice)
{
    EngineFixture f;
    f.notices.append(QStringLiteral("earlier notice"));
    ASSERT_TRUE(f.engine.start());
    EXPECT_TRUE(f.engine.voiceProcessingEnabled() && f.script->voiceProcessing);
    EXPECT_EQ(f.notices.last(), QString());

    EngineFixture fallback;
    fallback.script->voiceProcessingError = 42;
    ASSERT_TRUE(fallback.engine.start());
    EXPECT_FALSE(fallback.engine.voiceProcessingEnabled());
    EXPECT_EQ(fallback.notices, QStringList{QStringLiteral("Echo cancellation could not start (audio error 42). Use "
                                                           "headphones to prevent the assistant hearing its own voice.")});
    fallback.script->capture(kTone);
    EXPECT_TRUE(waitUntil([&] { return fallback.audio.size() == 1; }));

    EngineFixture refused;
    refused.script->voiceProcessingError = 42;
    refused.script->ordinaryError = -7;
    EXPECT_EQ(startFailure(refused.engine),
              QStringLiteral("Audio devices could not initialize (voice processing: 42, ordinary audio: -7). Check the "
                             "input and output devices in the system Sound settings, close other apps using the microphone, "
                             "then retry."));
    EXPECT_FALSE(refused.engine.isRunning() || refused.script->running);
    EXPECT_TRUE(refused.notices.isEmpty());
    refused.engine.play(pcm({1}));
    EXPECT_TRUE(refused.script->scheduled.empty());

    // No microphone: both attempts fail with the missing-device code.
    EngineFixture noMicrophone;
    noMicrophone.script->input = {};
    EXPECT_EQ(startFailure(noMicrophone.engine),
              QStringLiteral("Audio devices could not initialize (voice processing: 5, ordinary audio: 5). No usable "
                             "microphone was found. Choose a microphone in the system Sound settings."));

    // Refused microphone access, or no sound device at all: nothing is configured.
    const QString notAllowed = QStringLiteral("Allow Microphone access in the system settings, then start again.");
    EngineFixture unauthorised;
    unauthorised.script->authorized = false;
    EXPECT_EQ(startFailure(unauthorised.engine), notAllowed);
    EXPECT_EQ(unauthorised.script->configures, 0);
    AudioEngine withoutDevice;
    EXPECT_EQ(startFailure(withoutDevice), notAllowed);
}
