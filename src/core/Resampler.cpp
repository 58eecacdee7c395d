#include "core/Resampler.h"

#include <speex/speex_resampler.h>

namespace kestrabo {

Result<std::unique_ptr<Resampler>> Resampler::create(int inputRate, int outputRate, int inputStride)
{
    if (inputRate <= 0 || outputRate <= 0 || inputStride <= 0)
        return KestraboError(QStringLiteral("SpeexResampler"), RESAMPLER_ERR_INVALID_ARG,
                             QStringLiteral("The sample-rate converter does not accept these rates."));
    int error = RESAMPLER_ERR_SUCCESS;
    SpeexResamplerState* state = speex_resampler_init(1, spx_uint32_t(inputRate), spx_uint32_t(outputRate),
                                                      SPEEX_RESAMPLER_QUALITY_VOIP + 2, &error);
    if (!state || error != RESAMPLER_ERR_SUCCESS) {
        if (state)
            speex_resampler_destroy(state);
        return KestraboError(QStringLiteral("SpeexResampler"), error,
                             QString::fromUtf8(speex_resampler_strerror(error)));
    }
    speex_resampler_set_input_stride(state, spx_uint32_t(inputStride));
    // Without the leading zeros the first block is not delayed by half the filter.
    speex_resampler_skip_zeros(state);
    return std::unique_ptr<Resampler>(new Resampler(state, inputRate, outputRate));
}

Resampler::~Resampler()
{
    speex_resampler_destroy(static_cast<SpeexResamplerState*>(m_state));
}

Resampler::Counts Resampler::process(const float* input, int inputFrames, float* output, int outputCapacity)
{
    spx_uint32_t inLength = spx_uint32_t(inputFrames);
    spx_uint32_t outLength = spx_uint32_t(outputCapacity);
    const int error = speex_resampler_process_float(static_cast<SpeexResamplerState*>(m_state), 0, input, &inLength, output, &outLength);
    if (error != RESAMPLER_ERR_SUCCESS)
        return {0, -error};
    return {int(inLength), int(outLength)};
}

} // namespace kestrabo
