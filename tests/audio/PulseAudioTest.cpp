// The sound-server backend against a private PulseAudio daemon: the microphone is the monitor
// of a null sink that the test feeds, the speaker another null sink whose monitor the test
// records.

#include "core/Resampler.h"
#include "live/AudioEngine.h"
#include "platform/linux/EchoCanceller.h"
#include "platform/linux/PulseAudioDevice.h"
#include "support/PulseDaemon.h"
#include "support/TestSupport.h"

#include <QElapsedTimer>

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <random>

using namespace kestrabo;
using namespace kestrabo::test;

namespace {

std::vector<int16_t> tone16k(double frequency, double amplitude, double seconds)
{
    std::vector<int16_t> samples(size_t(16000 * seconds));
    for (size_t i = 0; i < samples.size(); ++i)
        samples[i] = int16_t(std::lrint(amplitude * 32767 * std::sin(2 * M_PI * frequency * double(i) / 16000)));
    return samples;
}

QByteArray wire(const std::vector<float>& samples)
{
    QByteArray bytes;
    for (float sample : samples) {
        const auto value = int16_t(std::lrint(std::clamp(sample, -1.0f, 1.0f) * 32767));
        bytes.append(char(uint16_t(value) & 0xff));
        bytes.append(char(uint16_t(value) >> 8));
    }
    return bytes;
}

// Speech-like far end: noise through a formant-ish band, switched on and off like syllables.
std::vector<float> babble(double seconds)
{
    std::mt19937 random(3);
    std::normal_distribution<float> gauss(0.0f, 1.0f);
    std::vector<float> samples(size_t(24000 * seconds));
    float low = 0, band = 0;
    for (size_t i = 0; i < samples.size(); ++i) {
        const double t = double(i) / 24000;
        const double envelope = std::max(0.0, std::sin(2 * M_PI * 3.3 * t)) * (0.6 + 0.4 * std::sin(2 * M_PI * 0.7 * t));
        low += 0.15f * (gauss(random) - low);
        band = 0.7f * band + low;
        samples[i] = float(0.25 * envelope) * band * 0.5f;
    }
    return samples;
}

struct Collected {
    std::vector<float> audio;
    std::vector<float> levels;
    std::vector<std::pair<bool, qint64>> playback;
};

void collect(AudioEngine& engine, Collected& collected, const QElapsedTimer& clock)
{
    engine.onAudio = [&collected](const QByteArray& data) {
        const std::vector<float> samples = pcm16ToFloat(data);
        collected.audio.insert(collected.audio.end(), samples.begin(), samples.end());
    };
    engine.onLevel = [&collected](float level) { collected.levels.push_back(level); };
    engine.onPlaybackState = [&collected, &clock](bool playing) { collected.playback.push_back({playing, clock.elapsed()}); };
}

class PulseAudioTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        const QString problem = daemon.start();
        ASSERT_TRUE(problem.isEmpty()) << problem.toStdString();
    }

    PulseDaemon daemon;
};

} // namespace

TEST_F(PulseAudioTest, MicrophoneIsAuthorisedWhenTheServerHasASource)
{
    EXPECT_TRUE(pulseAudioHasCaptureSource());
    PulseAudioDevice device;
    EXPECT_TRUE(device.microphoneAuthorized());

    // Ordinary capture comes in the source's own format, in 1,024-frame blocks.
    ASSERT_TRUE(device.configure(false));
    EXPECT_EQ(device.inputFormat().sampleRate, 16000);
    EXPECT_EQ(device.inputFormat().channels, 1);
    EXPECT_EQ(device.outputFormat().sampleRate, 48000);
    EXPECT_EQ(device.outputFormat().channels, 2);
    std::atomic<int> blocks = 0;
    std::atomic<int> wrongSize = 0;
    ASSERT_TRUE(device.start([&](const float*, int frames) {
        ++blocks;
        if (frames != AudioDevice::captureBlockFrames)
            ++wrongSize;
    }));
    EXPECT_TRUE(waitUntil([&] { return blocks >= 5; }, 10'000));
    device.stop();
    const int afterStop = blocks;
    spin(200);
    EXPECT_EQ(blocks, afterStop);
    EXPECT_EQ(wrongSize, 0);

    // With voice processing, the canceller's rate (16 kHz is native to it), mono.
    ASSERT_TRUE(device.configure(true));
    EXPECT_EQ(device.inputFormat().sampleRate, 16000);
    EXPECT_EQ(device.inputFormat().channels, 1);
    device.stop();

    // Without any source the microphone is not authorised.
    ASSERT_TRUE(daemon.run(QStringLiteral("pactl"), {QStringLiteral("unload-module"), QStringLiteral("module-null-sink")}));
    EXPECT_FALSE(pulseAudioHasCaptureSource());
}

TEST_F(PulseAudioTest, ToneFedToTheSourceArrivesAsWireAudio)
{
    QElapsedTimer clock;
    clock.start();
    AudioEngine engine(pulseAudioDeviceFactory());
    Collected collected;
    collect(engine, collected, clock);
    QStringList notices;
    engine.onNotice = [&notices](const QString& text) { notices.append(text); };
    ASSERT_TRUE(engine.start());
    EXPECT_TRUE(engine.voiceProcessingEnabled());
    EXPECT_EQ(notices, QStringList{QString()});

    // Let the canceller settle on the silent far end, then feed 1 kHz at -26 dBFS.
    ASSERT_TRUE(waitUntil([&] { return collected.audio.size() > 24000 / 2; }, 10'000));
    collected.audio.clear();
    collected.levels.clear();
    daemon.feedMicrophone(tone16k(1000, 0.05, 3.0));
    ASSERT_TRUE(waitUntil([&] { return collected.audio.size() > 24000 * 2; }, 15'000));
    engine.stop();

    // Wire audio is 24 kHz: the tone is found at 1 kHz only when read at that rate.
    std::vector<float> steady(collected.audio.end() - 24000, collected.audio.end());
    EXPECT_EQ(dominantFrequency(steady, 24000), 1000);
    // Level: 7 × RMS of a 0.05 sine is about 0.25.
    std::vector<float> levels(collected.levels.end() - 20, collected.levels.end());
    std::sort(levels.begin(), levels.end());
    EXPECT_NEAR(levels[levels.size() / 2], 7 * 0.05 / std::sqrt(2.0), 0.08);
}

TEST_F(PulseAudioTest, PlaybackEndsWhenTheServerHasPlayedIt)
{
    QElapsedTimer clock;
    clock.start();
    AudioEngine engine(pulseAudioDeviceFactory());
    Collected collected;
    collect(engine, collected, clock);
    ASSERT_TRUE(engine.start());

    QProcess* recorder = daemon.spawn(
        QStringLiteral("parec"), {QStringLiteral("-d"), QStringLiteral("spk.monitor"), QStringLiteral("--format=s16le"),
                                  QStringLiteral("--rate=24000"), QStringLiteral("--channels=1"),
                                  QStringLiteral("--latency-msec=20")});
    spin(300);

    // One second of 440 Hz in five blocks, scheduled at once.
    std::vector<float> second(24000);
    for (size_t i = 0; i < second.size(); ++i)
        second[i] = 0.3f * float(std::sin(2 * M_PI * 440 * double(i) / 24000));
    const qint64 scheduledAt = clock.elapsed();
    for (int part = 0; part < 5; ++part)
        engine.play(wire(std::vector<float>(second.begin() + part * 4800, second.begin() + (part + 1) * 4800)));
    ASSERT_TRUE(waitUntil([&] { return collected.playback.size() == 2; }, 10'000));
    EXPECT_TRUE(collected.playback[0].first);
    EXPECT_FALSE(collected.playback[1].first);
    const qint64 took = collected.playback[1].second - scheduledAt;
    std::printf("playback of 1000 ms reported played after %lld ms\n", static_cast<long long>(took));
    // Reported when heard, not when written (writing takes no time at all). The upper bound
    // allows the 50 ms playback buffer, the server's timing updates and a busy machine.
    EXPECT_GE(took, 980);
    EXPECT_LE(took, 1'800);

    spin(300);
    engine.stop();
    const QByteArray heardBytes = recorder->readAllStandardOutput();
    const std::vector<float> heard = pcm16ToFloat(heardBytes);
    ASSERT_GT(heard.size(), 24000u / 2);
    EXPECT_NEAR(dominantFrequency(heard, 24000, 2000), 440, 10);
}

TEST_F(PulseAudioTest, EchoCancellerRemovesThePlayedFarEnd)
{
    // The microphone hears the speaker directly: its monitor is the capture source.
    ASSERT_TRUE(daemon.run(QStringLiteral("pactl"), {QStringLiteral("set-default-source"), QStringLiteral("spk.monitor")}));
    QElapsedTimer clock;
    clock.start();
    AudioEngine engine(pulseAudioDeviceFactory());
    Collected collected;
    collect(engine, collected, clock);
    ASSERT_TRUE(engine.start());
    ASSERT_TRUE(engine.voiceProcessingEnabled());
    auto* device = dynamic_cast<PulseAudioDevice*>(engine.device());
    ASSERT_NE(device, nullptr);

    const std::vector<float> far = babble(8.0);
    for (size_t offset = 0; offset < far.size(); offset += 4800)
        engine.play(wire(std::vector<float>(far.begin() + long(offset),
                                            far.begin() + long(std::min(far.size(), offset + 4800)))));
    // Measure after the first 2 seconds, as the canceller converges.
    spin(2'000);
    device->resetEchoReport();
    collected.audio.clear();
    ASSERT_TRUE(waitUntil([&] { return !collected.playback.empty() && !collected.playback.back().first; }, 20'000));
    const PulseAudioDevice::EchoReport report = device->echoReport();
    engine.stop();

    ASSERT_TRUE(report.active);
    ASSERT_GT(report.frames, 48000 * 4);
    const double erle = 10 * std::log10(report.inputEnergy / std::max(report.outputEnergy, 1e-12));
    std::printf("loopback echo: ERLE %.1f dB (library %.1f dB), reported delay %d ms\n", erle, report.libraryErleDb,
                report.delayMs);
    EXPECT_GE(erle, 15.0);
    // What reached the wire is the cancelled signal, far below the echo's level.
    double heard = 0;
    for (float sample : collected.audio)
        heard += double(sample) * sample;
    const double echoPower = report.inputEnergy / double(report.frames);
    EXPECT_LT(heard / double(std::max<size_t>(1, collected.audio.size())), echoPower / 20);
}

TEST(EchoCanceller, CancelsADelayedCopyOfTheFarEnd)
{
    // The canceller alone, on a 60 ms echo it is told nothing about.
    EXPECT_EQ(EchoCanceller::processingRate(44100), 48000);
    EXPECT_EQ(EchoCanceller::processingRate(16000), 16000);
    EXPECT_EQ(EchoCanceller::processingRate(22050), 32000);
    auto unsupported = EchoCanceller::create(44100);
    ASSERT_FALSE(unsupported);
    EXPECT_EQ(unsupported.error().code(), -7);

    auto canceller = EchoCanceller::create(16000);
    ASSERT_TRUE(canceller);
    const std::vector<float> far24 = babble(6.0);
    std::vector<float> far(far24.size());
    auto converter = Resampler::create(24000, 16000);
    ASSERT_TRUE(converter);
    far.resize(size_t(converter.value()->process(far24.data(), int(far24.size()), far.data(), int(far.size())).produced));
    const int delay = 16000 * 60 / 1000;
    double in = 0, out = 0;
    std::vector<float> frame(160);
    for (size_t start = 0; start + 160 <= far.size(); start += 160) {
        for (size_t i = 0; i < 160; ++i)
            frame[i] = start + i >= size_t(delay) ? 0.5f * far[start + i - size_t(delay)] : 0.0f;
        canceller.value()->render(far.data() + start);
        const double before = [&] { double e = 0; for (float s : frame) e += double(s) * s; return e; }();
        canceller.value()->process(frame.data(), 0);
        if (start < 16000 * 2)
            continue;
        in += before;
        for (float s : frame)
            out += double(s) * s;
    }
    EXPECT_GE(10 * std::log10(in / std::max(out, 1e-12)), 20.0);
}
