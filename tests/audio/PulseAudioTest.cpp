// The sound-server backend against a private PulseAudio daemon: the microphone is a virtual
// source over a null sink that the test feeds, the speaker another null sink whose monitor it
// records.

#include "live/AudioEngine.h"
#include "platform/linux/PulseAudioDevice.h"
#include "support/PulseDaemon.h"
#include "support/TestSupport.h"

#include <QElapsedTimer>
#include <QLocalServer>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cmath>
#include <random>

using namespace kestrabo;
using namespace kestrabo::test;

namespace {

std::vector<float> sine(double frequency, double amplitude, double rate, double seconds)
{
    std::vector<float> samples(size_t(rate * seconds));
    for (size_t i = 0; i < samples.size(); ++i)
        samples[i] = float(amplitude * std::sin(2 * M_PI * frequency * double(i) / rate));
    return samples;
}

// Float samples as 16-bit little-endian blocks of `per` samples.
std::vector<QByteArray> wire(const std::vector<float>& samples, size_t per)
{
    std::vector<QByteArray> blocks;
    for (size_t i = 0; i < samples.size(); ++i) {
        if (i % per == 0)
            blocks.emplace_back();
        const auto value = uint16_t(std::lrint(std::clamp(samples[i], -1.0f, 1.0f) * 32767));
        blocks.back().append(char(value & 0xff)).append(char(value >> 8));
    }
    return blocks;
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
        samples[i] = float(0.125 * envelope) * band;
    }
    return samples;
}

// The strongest frequency, in 10 Hz steps from 100 Hz up to `highest`.
double dominantFrequency(const std::vector<float>& samples, double sampleRate, double highest = 6000)
{
    // Goertzel power on Hann-windowed 100 ms segments: 10 Hz resolution, little leakage.
    const size_t segment = size_t(sampleRate / 10);
    std::vector<double> power(size_t((highest - 100) / 10) + 1);
    std::vector<float> windowed(segment);
    for (size_t start = 0; start + segment <= samples.size(); start += segment) {
        for (size_t i = 0; i < segment; ++i)
            windowed[i] = samples[start + i] * float(0.5 - 0.5 * std::cos(2 * M_PI * double(i) / double(segment)));
        for (size_t index = 0; index < power.size(); ++index) {
            const double coefficient = 2 * std::cos(2 * M_PI * (100 + 10 * double(index)) / sampleRate);
            double previous = 0, beforePrevious = 0;
            for (float sample : windowed)
                beforePrevious = std::exchange(previous, sample + coefficient * previous - beforePrevious);
            power[index] += previous * previous + beforePrevious * beforePrevious - coefficient * previous * beforePrevious;
        }
    }
    return 100 + 10 * double(std::max_element(power.begin(), power.end()) - power.begin());
}

std::vector<float> pcm16ToFloat(const QByteArray& bytes)
{
    std::vector<float> samples(size_t(bytes.size() / 2));
    for (size_t i = 0; i < samples.size(); ++i)
        samples[i] = float(int16_t(uint16_t(uint8_t(bytes[2 * i])) | uint16_t(uint8_t(bytes[2 * i + 1])) << 8)) / 32768.0f;
    return samples;
}

// The engine on the real server, collecting what it delivers.
class PulseAudioTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        const QString problem = daemon.start();
        ASSERT_TRUE(problem.isEmpty()) << problem.toStdString();
        clock.start();
        engine.onAudio = [this](const QByteArray& data) {
            const std::vector<float> samples = pcm16ToFloat(data);
            audio.insert(audio.end(), samples.begin(), samples.end());
        };
        engine.onLevel = [this](float level) { levels.push_back(level); };
        engine.onPlaybackState = [this](bool playing) { playback.push_back({playing, clock.elapsed()}); };
    }

    PulseDaemon daemon;
    AudioEngine engine{pulseAudioDeviceFactory()};
    QElapsedTimer clock;
    std::vector<float> audio, levels;
    std::vector<std::pair<bool, qint64>> playback;
};

} // namespace

TEST_F(PulseAudioTest, DeviceCapturesBlocksUntilStoppedAndNeverHearsAMonitor)
{
    PulseAudioDevice device;
    EXPECT_TRUE(device.microphoneAuthorized());
    // Ordinary capture comes in the source's own format, in 1,024-frame blocks.
    ASSERT_TRUE(device.configure(false));
    EXPECT_EQ(device.inputFormat().sampleRate, 16000);
    EXPECT_EQ(device.inputFormat().channels, 1);
    EXPECT_EQ(device.outputFormat().sampleRate, 48000);
    EXPECT_EQ(device.outputFormat().channels, 2);
    std::atomic<int> blocks = 0, wrongSize = 0;
    ASSERT_TRUE(device.start(
        [&](const float*, int frames) {
            ++blocks;
            wrongSize += frames != AudioDevice::captureBlockFrames;
        },
        {}));
    EXPECT_TRUE(waitUntil([&] { return blocks >= 5; }, 10'000));
    device.stop();
    const int afterStop = blocks;
    spin(200);
    EXPECT_EQ(blocks, afterStop);
    EXPECT_EQ(wrongSize, 0);

    // A monitor as the default source (what the server picks when no input exists) is no
    // microphone: the start fails naming the missing microphone, never the permission.
    ASSERT_TRUE(daemon.run(QStringLiteral("pactl"), {QStringLiteral("set-default-source"), QStringLiteral("spk.monitor")}));
    EXPECT_TRUE(device.microphoneAuthorized());
    ASSERT_TRUE(device.configure(true));
    EXPECT_FALSE(device.inputFormat().usable());
    const Status started = engine.start();
    ASSERT_FALSE(started);
    EXPECT_TRUE(started.error().description().contains(QStringLiteral("No usable microphone was found.")));
}

TEST_F(PulseAudioTest, LosingTheServerMidConversationFailsOnce)
{
    QStringList failures;
    engine.onFailure = [&failures](const QString& text) { failures.append(text); };
    const QStringList descriptors = descriptorLinks();
    const QList<long long> children = childProcesses();
    const int threads = threadCount();
    ASSERT_TRUE(engine.start());
    ASSERT_TRUE(waitUntil([&] { return !audio.empty(); }, 10'000));
    EXPECT_GT(threadCount(), threads);
    daemon.killServer();
    ASSERT_TRUE(waitUntil([&] { return !failures.isEmpty(); }, 10'000));
    spin(200);
    ASSERT_EQ(failures.size(), 1);
    EXPECT_TRUE(failures[0].startsWith(QStringLiteral("The microphone and speaker stopped working (audio error ")))
        << failures[0].toStdString();
    engine.stop();
    // Without a server nothing can be started, and nothing hangs trying.
    EXPECT_FALSE(pulseAudioReachable());
    EXPECT_FALSE(engine.start());

    // The server's loop thread is joined and its connection closed; the server and its clients
    // are gone, and nothing new stays open or running.
    EXPECT_LE(threadCount(), threads);
    EXPECT_TRUE(waitUntil([&] { return newDescriptors(descriptors).empty(); })) << newDescriptors(descriptors);
    EXPECT_TRUE(waitUntil([&] {
        const QList<long long> now = childProcesses();
        return std::all_of(now.begin(), now.end(), [&](long long pid) { return children.contains(pid); });
    }));
}

// One run of the engine: a tone fed to the source arrives as wire audio, then speech it plays
// is reported played when the server has played it.
TEST_F(PulseAudioTest, ToneArrivesAsWireAudioAndPlaybackEndsWhenTheServerHasPlayedIt)
{
    QStringList notices;
    engine.onNotice = [&notices](const QString& text) { notices.append(text); };
    ASSERT_TRUE(engine.start());
    EXPECT_TRUE(engine.voiceProcessingEnabled());
    EXPECT_EQ(notices, QStringList{QString()});

    // Let the canceller settle on the silent far end, then feed 1 kHz at -26 dBFS.
    ASSERT_TRUE(waitUntil([&] { return audio.size() > 24000 / 2; }, 10'000));
    audio.clear();
    levels.clear();
    daemon.feedMicrophone(wire(sine(1000, 0.05, 16000, 3.0), 16000 * 3).front());
    ASSERT_TRUE(waitUntil([&] { return audio.size() > 24000 * 2; }, 15'000));
    // The tone is found at 1 kHz only when the wire audio is read at 24 kHz.
    EXPECT_EQ(dominantFrequency(std::vector<float>(audio.end() - 24000, audio.end()), 24000), 1000);
    // Level: 7 × RMS of a 0.05 sine is about 0.25.
    std::vector<float> last(levels.end() - 20, levels.end());
    std::nth_element(last.begin(), last.begin() + 10, last.end());
    EXPECT_NEAR(last[10], 7 * 0.05 / std::sqrt(2.0), 0.08);

    QProcess* recorder = daemon.spawn(QStringLiteral("parec"),
                                      QStringLiteral("-d spk.monitor --format=s16le --rate=24000 --channels=1 "
                                                     "--latency-msec=20").split(QLatin1Char(' ')));
    spin(300);
    // One second of 440 Hz in five blocks, scheduled at once.
    const qint64 scheduledAt = clock.elapsed();
    for (const QByteArray& block : wire(sine(440, 0.3, 24000, 1.0), 4800))
        engine.play(block);
    ASSERT_TRUE(waitUntil([&] { return playback.size() == 2; }, 10'000));
    EXPECT_TRUE(playback[0].first);
    EXPECT_FALSE(playback[1].first);
    // Reported when heard, not when written (which takes no time); the upper bound only catches
    // a report that waits for something else, with room for a busy machine.
    EXPECT_GE(playback[1].second - scheduledAt, 980);
    EXPECT_LE(playback[1].second - scheduledAt, 5'000);

    spin(300);
    engine.stop();
    const std::vector<float> heard = pcm16ToFloat(recorder->readAllStandardOutput());
    ASSERT_GT(heard.size(), 24000u / 2);
    EXPECT_NEAR(dominantFrequency(heard, 24000, 2000), 440, 10);
}

TEST_F(PulseAudioTest, EchoCancellerRemovesThePlayedFarEnd)
{
    // The microphone hears the speaker directly, through a source over its monitor.
    ASSERT_TRUE(daemon.run(QStringLiteral("pactl"), QStringLiteral("load-module module-virtual-source source_name=echo "
                                                                   "master=spk.monitor").split(QLatin1Char(' '))));
    ASSERT_TRUE(daemon.run(QStringLiteral("pactl"), {QStringLiteral("set-default-source"), QStringLiteral("echo")}));
    ASSERT_TRUE(engine.start());
    ASSERT_TRUE(engine.voiceProcessingEnabled());

    const std::vector<float> farEnd = babble(8.0);
    for (const QByteArray& block : wire(farEnd, 4800))
        engine.play(block);
    // Measure after the first 2 seconds, as the canceller converges.
    spin(2'000);
    audio.clear();
    ASSERT_TRUE(waitUntil([&] { return !playback.empty() && !playback.back().first; }, 20'000));
    engine.stop();

    ASSERT_GT(audio.size(), 24000u * 4);
    // What reached the wire is far below the echo, which is the far end at its own level.
    const auto power = [](auto begin, auto end) {
        double sum = 0;
        for (auto it = begin; it != end; ++it)
            sum += double(*it) * *it;
        return sum / double(std::max<std::ptrdiff_t>(1, end - begin));
    };
    const double echo = power(farEnd.begin() + 24000 * 2, farEnd.end());
    EXPECT_GE(10 * std::log10(echo / std::max(power(audio.begin(), audio.end()), 1e-12)), 15.0);
}

TEST(PulseAudio, ASilentServerIsGivenUpAtTheDeadline)
{
    // Accepts the connection (the kernel's backlog does) and never answers.
    QTemporaryDir directory;
    QLocalServer silent;
    ASSERT_TRUE(silent.listen(directory.filePath(QStringLiteral("native"))));
    qputenv("PULSE_SERVER", ("unix:" + directory.filePath(QStringLiteral("native"))).toUtf8());
    for (const char* name : {"PULSE_RUNTIME_PATH", "XDG_CONFIG_HOME", "XDG_RUNTIME_DIR", "HOME"})
        qputenv(name, directory.path().toUtf8());
    EXPECT_FALSE(pulseAudioReachable());
}
