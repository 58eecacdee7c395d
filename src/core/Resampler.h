#pragma once

#include "core/Result.h"

#include <memory>

namespace kestrabo {

// A streaming sample-rate converter for one channel (SpeexDSP). The input may be one channel
// of interleaved frames: `inputStride` is the number of samples from one frame to the next.
class Resampler {
public:
    // Errors carry the converter's own error code.
    static Result<std::unique_ptr<Resampler>> create(int inputRate, int outputRate, int inputStride = 1);
    ~Resampler();
    Resampler(const Resampler&) = delete;
    Resampler& operator=(const Resampler&) = delete;

    int inputRate() const { return m_inputRate; }
    int outputRate() const { return m_outputRate; }

    // Output frames `inputFrames` need at most (rounded up, plus the filter's slack).
    static int capacity(int inputFrames, int inputRate, int outputRate)
    {
        return int((static_cast<long long>(inputFrames) * outputRate + inputRate - 1) / inputRate) + 16;
    }

    struct Counts {
        int consumed = 0;
        int produced = 0;
    };
    // Converts up to `inputFrames` frames into at most `outputCapacity` samples, without
    // allocating. Returns the error code of the converter as a negative `produced` on failure.
    Counts process(const float* input, int inputFrames, float* output, int outputCapacity);

private:
    Resampler(void* state, int inputRate, int outputRate) : m_state(state), m_inputRate(inputRate), m_outputRate(outputRate) {}
    void* m_state; // the converter's state, opaque here
    int m_inputRate;
    int m_outputRate;
};

} // namespace kestrabo
