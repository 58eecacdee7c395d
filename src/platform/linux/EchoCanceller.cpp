#include "platform/linux/EchoCanceller.h"

#include <webrtc/modules/audio_processing/include/audio_processing.h>

namespace kestrabo {

namespace {

constexpr int kRates[] = {8000, 16000, 32000, 48000};

KestraboError libraryError(int code, const char* what)
{
    return KestraboError(QStringLiteral("WebRTCAudioProcessing"), code,
                         QStringLiteral("The echo canceller could not %1 (error %2).").arg(QLatin1String(what)).arg(code));
}

} // namespace

struct EchoCanceller::Impl {
    std::unique_ptr<webrtc::AudioProcessing> apm;
    webrtc::StreamConfig config;
};

bool EchoCanceller::supportsRate(int sampleRate)
{
    for (int rate : kRates)
        if (rate == sampleRate)
            return true;
    return false;
}

int EchoCanceller::processingRate(int deviceRate)
{
    for (int rate : kRates)
        if (rate >= deviceRate)
            return rate;
    return 48000;
}

Result<std::unique_ptr<EchoCanceller>> EchoCanceller::create(int sampleRate, Settings settings)
{
    if (!supportsRate(sampleRate))
        return libraryError(webrtc::AudioProcessing::kBadSampleRateError, "run at this rate");

    webrtc::Config config;
    // The reported delay covers our buffers only; the acoustic path and device buffers we cannot
    // see are left to the canceller's own delay estimate and the longer filter.
    config.Set<webrtc::ExtendedFilter>(new webrtc::ExtendedFilter(settings.extendedFilter));
    config.Set<webrtc::DelayAgnostic>(new webrtc::DelayAgnostic(settings.delayAgnostic));
    auto impl = std::make_unique<Impl>();
    impl->apm.reset(webrtc::AudioProcessing::Create(config));
    if (!impl->apm)
        return libraryError(webrtc::AudioProcessing::kCreationFailedError, "be created");

    webrtc::ProcessingConfig processing = {{
        webrtc::StreamConfig(sampleRate, 1), // capture in
        webrtc::StreamConfig(sampleRate, 1), // capture out
        webrtc::StreamConfig(sampleRate, 1), // far end in
        webrtc::StreamConfig(sampleRate, 1), // far end out
    }};
    if (int code = impl->apm->Initialize(processing); code != webrtc::AudioProcessing::kNoError)
        return libraryError(code, "start");
    webrtc::EchoCancellation* aec = impl->apm->echo_cancellation();
    int code = aec->enable_drift_compensation(false);
    if (code == 0)
        code = aec->set_suppression_level(settings.suppression == Settings::Suppression::low
                                              ? webrtc::EchoCancellation::kLowSuppression
                                          : settings.suppression == Settings::Suppression::moderate
                                              ? webrtc::EchoCancellation::kModerateSuppression
                                              : webrtc::EchoCancellation::kHighSuppression);
    if (code == 0)
        code = aec->enable_metrics(true);
    if (code == 0)
        code = aec->Enable(true);
    if (code != webrtc::AudioProcessing::kNoError)
        return libraryError(code, "be configured");
    impl->config = webrtc::StreamConfig(sampleRate, 1);
    return std::unique_ptr<EchoCanceller>(new EchoCanceller(std::move(impl), sampleRate));
}

EchoCanceller::EchoCanceller(std::unique_ptr<Impl> impl, int sampleRate)
    : m_impl(std::move(impl)), m_sampleRate(sampleRate)
{
}

EchoCanceller::~EchoCanceller() = default;

int EchoCanceller::render(const float* frame)
{
    const float* source[1] = {frame};
    float scratch[480];
    float* destination[1] = {scratch};
    return m_impl->apm->ProcessReverseStream(source, m_impl->config, m_impl->config, destination);
}

int EchoCanceller::process(float* frame, int delayMs)
{
    m_impl->apm->set_stream_delay_ms(delayMs < 0 ? 0 : delayMs);
    float* channels[1] = {frame};
    return m_impl->apm->ProcessStream(channels, m_impl->config, m_impl->config, channels);
}

EchoCanceller::Metrics EchoCanceller::metrics() const
{
    webrtc::EchoCancellation::Metrics raw;
    Metrics result;
    if (m_impl->apm->echo_cancellation()->GetMetrics(&raw) != webrtc::AudioProcessing::kNoError)
        return result;
    result.valid = true;
    result.erleDb = raw.echo_return_loss_enhancement.instant;
    result.erlDb = raw.echo_return_loss.instant;
    return result;
}

} // namespace kestrabo
