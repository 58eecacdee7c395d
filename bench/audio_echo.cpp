// Echo cancellation quality and capture-path cost.
//
// Quality: speech (espeak-ng) is the far end, fed to the canceller the way the sound-server
// backend feeds it (24 kHz playback samples converted to the canceller's rate). The
// "microphone" hears it through a simulated echo path: a delay of 20-120 ms, attenuation, a
// short room impulse and a -60 dBFS noise floor. ERLE = 10 log10(echo energy / output energy)
// over 100 ms windows with far-end activity after the first 2 s; the median is reported, with
// the library's own ERLE beside it. A double-talk pass adds near-end speech and reports how
// much of it survives.
//
// Cost: one 1,024-frame 48 kHz stereo capture block through the canceller (10 ms frames),
// the conversion to 24 kHz 16-bit mono and the level.

#include "core/Resampler.h"
#include "live/AudioEngine.h"
#include "platform/linux/EchoCanceller.h"
#include "support/Espeak.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <numeric>
#include <random>
#include <vector>

using namespace kestrabo;
using kestrabo::test::resample;

namespace {

constexpr int kRate = 48000;
constexpr int kFrame = kRate / 100;

// Speech at the playback rate, then at the canceller's rate: the same path as the backend's
// far end.
std::vector<float> speech(const QString& text, const char* voice)
{
    const test::Speech raw = test::espeak(text, QLatin1String(voice));
    if (raw.samples.empty())
        return {};
    return resample(resample(raw.samples, raw.rate, 24000), 24000, kRate);
}

double energy(const float* samples, int count)
{
    double sum = 0;
    for (int i = 0; i < count; ++i)
        sum += double(samples[i]) * samples[i];
    return sum;
}

struct Outcome {
    double medianErle = 0;
    double libraryErle = 0;
    double nearAttenuation = 0; // dB lost by near-end speech during double talk
};

// The far end as the microphone hears it: delayed, attenuated, through a short room.
std::vector<float> echoPath(const std::vector<float>& far, int delayMs)
{
    std::mt19937 random(7);
    std::normal_distribution<float> gauss(0.0f, 1.0f);
    // Direct path at -6 dB, then 15 ms of reflections decaying with a 4 ms time constant.
    std::vector<float> room(size_t(kRate * 15 / 1000));
    for (size_t i = 0; i < room.size(); ++i)
        room[i] = 0.08f * gauss(random) * std::exp(-float(i) / float(kRate) / 0.004f);
    room[0] = 0.5f;
    const size_t delay = size_t(kRate * delayMs / 1000);
    std::vector<float> echo(far.size() + delay + room.size(), 0.0f);
    for (size_t n = 0; n < far.size(); ++n) {
        if (far[n] == 0.0f)
            continue;
        for (size_t k = 0; k < room.size(); ++k)
            echo[n + delay + k] += far[n] * room[k];
    }
    return echo;
}

Outcome simulate(const std::vector<float>& far, const std::vector<float>& echo, const std::vector<float>& near,
                 int reportedMs, EchoCanceller::Settings settings = {})
{
    std::mt19937 random(11);
    std::normal_distribution<float> gauss(0.0f, 1.0f);
    const size_t length = echo.size();
    // Near-end speech starts at 5 s (double talk); with `near` empty, near-end silence.
    const size_t nearStart = size_t(kRate) * 5;
    auto canceller = EchoCanceller::create(kRate, settings);
    std::vector<double> erles;
    double nearIn = 0, nearOut = 0, libraryErle = 0;
    std::vector<float> frame(kFrame), farFrame(kFrame), echoOnly(kFrame);
    for (size_t start = 0; start + kFrame <= length; start += kFrame) {
        for (int i = 0; i < kFrame; ++i) {
            const size_t n = start + size_t(i);
            farFrame[size_t(i)] = n < far.size() ? far[n] : 0.0f;
            echoOnly[size_t(i)] = echo[n] + 0.001f * gauss(random);
            const float nearSample = (n >= nearStart && n - nearStart < near.size()) ? near[n - nearStart] : 0.0f;
            frame[size_t(i)] = echoOnly[size_t(i)] + nearSample;
        }
        canceller.value()->render(farFrame.data());
        const bool doubleTalk = start >= nearStart && start < nearStart + near.size();
        const double in = energy(frame.data(), kFrame);
        canceller.value()->process(frame.data(), reportedMs);
        const double out = energy(frame.data(), kFrame);
        if (start < size_t(kRate) * 2)
            continue;
        if (doubleTalk && !near.empty()) {
            // Near-end energy in, against what came out beyond the echo's residue.
            nearIn += in - energy(echoOnly.data(), kFrame);
            nearOut += out;
        } else if (near.empty() && energy(echoOnly.data(), kFrame) > kFrame * 1e-4) {
            erles.push_back(10 * std::log10(in / std::max(out, 1e-12)));
            const auto metrics = canceller.value()->metrics();
            if (metrics.valid)
                libraryErle = metrics.erleDb;
        }
    }
    Outcome outcome;
    if (!erles.empty()) {
        std::nth_element(erles.begin(), erles.begin() + long(erles.size() / 2), erles.end());
        outcome.medianErle = erles[erles.size() / 2];
    }
    outcome.libraryErle = libraryErle;
    if (nearIn > 0)
        outcome.nearAttenuation = 10 * std::log10(nearIn / std::max(nearOut, 1e-12));
    return outcome;
}

void reportQuality()
{
    const std::vector<float> far = speech(QStringLiteral(
        "The quick brown fox jumps over the lazy dog. I will read the weather for you now. It is sunny "
        "with a chance of rain later in the evening, so please remember to bring an umbrella when you go "
        "out. Tomorrow looks brighter, with light wind from the west."), "en");
    const std::vector<float> near = speech(QStringLiteral("Wait, stop. What about tomorrow morning?"), "en+f3");
    if (far.empty() || near.empty()) {
        std::printf("espeak-ng is not available: echo quality not measured\n");
        return;
    }
    std::printf("Echo cancellation, %.1f s of speech as far end, %d Hz, default settings\n", double(far.size()) / kRate,
                kRate);
    std::printf("%-10s %-12s %-14s %-14s %-16s\n", "delay ms", "reported ms", "median ERLE", "library ERLE",
                "near-end loss");
    std::vector<double> medians;
    for (int delay : {20, 40, 60, 80, 100, 120}) {
        const std::vector<float> echo = echoPath(far, delay);
        // Our delay estimate covers our own buffers; the echo path is unknown to it (0 here).
        const Outcome echoOnly = simulate(far, echo, {}, 0);
        const Outcome doubleTalk = simulate(far, echo, near, 0);
        std::printf("%-10d %-12d %-14.1f %-14.1f %-16.1f\n", delay, 0, echoOnly.medianErle, echoOnly.libraryErle,
                    doubleTalk.nearAttenuation);
        medians.push_back(echoOnly.medianErle);
    }
    std::sort(medians.begin(), medians.end());
    std::printf("median ERLE over 20-120 ms: %.1f dB (target >= 30 dB)\n\n", (medians[2] + medians[3]) / 2);

    // Every setting on the same material: the range over the six delays.
    using Suppression = EchoCanceller::Settings::Suppression;
    std::printf("%-10s %-9s %-14s %-18s %-18s\n", "suppress", "extended", "delay-agnostic", "median ERLE (min)",
                "near-end loss (max)");
    for (Suppression suppression : {Suppression::low, Suppression::moderate, Suppression::high}) {
        for (bool extended : {false, true}) {
            for (bool agnostic : {false, true}) {
                const EchoCanceller::Settings settings{suppression, extended, agnostic};
                std::vector<double> erles, losses;
                for (int delay : {20, 40, 60, 80, 100, 120}) {
                    const std::vector<float> echo = echoPath(far, delay);
                    erles.push_back(simulate(far, echo, {}, 0, settings).medianErle);
                    losses.push_back(simulate(far, echo, near, 0, settings).nearAttenuation);
                }
                std::vector<double> sorted = erles;
                std::sort(sorted.begin(), sorted.end());
                std::printf("%-10s %-9s %-14s %5.1f (%5.1f)      %5.1f (%5.1f)\n",
                            suppression == Suppression::low ? "low" : suppression == Suppression::moderate ? "moderate"
                                                                                                          : "high",
                            extended ? "on" : "off", agnostic ? "on" : "off", (sorted[2] + sorted[3]) / 2, sorted[0],
                            std::accumulate(losses.begin(), losses.end(), 0.0) / double(losses.size()),
                            *std::max_element(losses.begin(), losses.end()));
            }
        }
    }
    std::fflush(stdout);
}

void BM_CaptureBlockWithEchoCancellation(benchmark::State& state)
{
    constexpr int frames = 1024;
    constexpr int channels = 2;
    std::vector<float> block(size_t(frames * channels));
    for (int i = 0; i < frames; ++i) {
        block[size_t(i * channels)] = 0.3f * std::sin(float(i) * 0.13f);
        block[size_t(i * channels + 1)] = 0.1f * std::sin(float(i) * 0.05f);
    }
    auto canceller = EchoCanceller::create(kRate);
    auto pick = Resampler::create(kRate, kRate, channels); // first channel, as the backend takes it
    auto converter = CaptureConverter::create(AudioFormat{kRate, 1});
    std::vector<float> mono(size_t(Resampler::capacity(frames, kRate, kRate)));
    std::vector<float> far(kFrame, 0.01f);
    std::vector<float> pending;
    pending.reserve(size_t(frames + kFrame));
    std::vector<float> processed;
    processed.reserve(size_t(frames + kFrame));
    for (auto _ : state) {
        const auto counts = pick.value()->process(block.data(), frames, mono.data(), int(mono.size()));
        pending.insert(pending.end(), mono.begin(), mono.begin() + counts.produced);
        size_t offset = 0;
        for (; offset + kFrame <= pending.size(); offset += kFrame) {
            canceller.value()->render(far.data());
            canceller.value()->process(pending.data() + offset, 40);
            processed.insert(processed.end(), pending.begin() + long(offset), pending.begin() + long(offset + kFrame));
        }
        pending.erase(pending.begin(), pending.begin() + long(offset));
        if (processed.size() >= frames) {
            auto converted = converter->convert(processed.data(), frames);
            benchmark::DoNotOptimize(converted);
            processed.erase(processed.begin(), processed.begin() + frames);
        }
    }
    // CPU time per second of captured audio: the real-time factor.
    state.counters["cpu_per_audio_second"] = benchmark::Counter(
        double(frames) / kRate, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_CaptureBlockWithEchoCancellation)->Unit(benchmark::kMicrosecond);

void BM_CaptureConversionOnly(benchmark::State& state)
{
    constexpr int frames = 1024;
    std::vector<float> block(size_t(frames * 2));
    for (int i = 0; i < frames * 2; ++i)
        block[size_t(i)] = 0.3f * std::sin(float(i) * 0.07f);
    auto converter = CaptureConverter::create(AudioFormat{kRate, 2});
    for (auto _ : state) {
        auto converted = converter->convert(block.data(), frames);
        benchmark::DoNotOptimize(converted);
    }
}
BENCHMARK(BM_CaptureConversionOnly)->Unit(benchmark::kMicrosecond);

} // namespace

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    reportQuality();
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
