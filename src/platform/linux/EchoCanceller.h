#pragma once

#include "core/Result.h"

#include <memory>

namespace kestrabo {

// How hard the echo canceller works. The defaults are the measured best trade-off between echo
// removed and the near end's own voice kept while both talk (bench/audio_echo).
struct EchoCancellerSettings {
    enum class Suppression { low, moderate, high };
    Suppression suppression = Suppression::low;
    bool extendedFilter = true;
    bool delayAgnostic = true;
};

// The WebRTC echo canceller on one mono capture path: fed the far end (what the speaker
// renders) and the near end (the microphone) in 10 ms frames at one rate. The library's
// headers stay inside EchoCanceller.cpp.
class EchoCanceller {
public:
    // Rates the canceller runs at natively.
    static bool supportsRate(int sampleRate);
    // The rate to run at for a capture device of `deviceRate`: the device's own when supported,
    // else the smallest supported rate above it (48 kHz at most), so no band is lost.
    static int processingRate(int deviceRate);

    using Settings = EchoCancellerSettings;

    // Errors carry the library's own error code.
    static Result<std::unique_ptr<EchoCanceller>> create(int sampleRate, Settings settings = {});
    ~EchoCanceller();

    int sampleRate() const { return m_sampleRate; }
    int frameSamples() const { return m_sampleRate / 100; }

    // One 10 ms far-end frame, in the order the speaker plays them. Returns the library's code.
    int render(const float* frame);
    // One 10 ms near-end frame, processed in place. `delayMs` is the time from handing a far-end
    // frame to render() to capturing its echo (playback latency + capture latency).
    int process(float* frame, int delayMs);

    struct Metrics {
        bool valid = false;
        double erleDb = 0;  // the library's instantaneous echo return loss enhancement
        double erlDb = 0;
    };
    Metrics metrics() const;

private:
    struct Impl;
    explicit EchoCanceller(std::unique_ptr<Impl> impl, int sampleRate);
    std::unique_ptr<Impl> m_impl;
    int m_sampleRate;
};

} // namespace kestrabo
