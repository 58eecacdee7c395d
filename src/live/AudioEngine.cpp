#include "live/AudioEngine.h"

#include "core/Job.h"
#include "core/Resampler.h"

#include <QPointer>

#include <algorithm>
#include <cmath>

namespace kestrabo {

namespace {

const QString kMicrophoneNotAllowed =
    QStringLiteral("Allow Microphone access in the system settings, then start again.");
const QString kNoMicrophone =
    QStringLiteral("No usable microphone was found. Choose a microphone in the system Sound settings.");
const QString kNoSpeaker =
    QStringLiteral("No usable speaker device was found. Choose an output in the system Sound settings.");
const QString kCaptureOverload = QStringLiteral("Microphone processing cannot keep up. Please reconnect.");
const QString kPlaybackOverload = QStringLiteral("Speaker playback cannot keep up. Please reconnect.");
const QString kDeviceLost = QStringLiteral("The microphone and speaker stopped working (audio error %1). Check the "
                                           "sound server and the devices in the system Sound settings, then start "
                                           "again.");

// Our own "no usable device" errors carry the sound server's code for a missing entity, so the
// start failure names every attempt with a number.
constexpr long long kNoDeviceCode = 5;

KestraboError noDevice(const QString& text)
{
    return KestraboError(QString::fromLatin1(KestraboError::messageDomain), kNoDeviceCode, text);
}

bool isNoDevice(const KestraboError& error)
{
    return error.domain() == QLatin1String(KestraboError::messageDomain) && error.code() == kNoDeviceCode;
}

} // namespace

// --- CaptureConverter ---

std::unique_ptr<CaptureConverter> CaptureConverter::create(AudioFormat source)
{
    if (!source.usable())
        return nullptr;
    auto resampler = Resampler::create(source.sampleRate, wireRate, source.channels);
    if (!resampler)
        return nullptr;
    return std::unique_ptr<CaptureConverter>(new CaptureConverter(std::move(resampler).value(), source));
}

CaptureConverter::CaptureConverter(std::unique_ptr<Resampler> resampler, AudioFormat source)
    : m_resampler(std::move(resampler)), m_source(source),
      m_scratch(size_t(Resampler::capacity(AudioDevice::captureBlockFrames, source.sampleRate, wireRate)))
{
}

CaptureConverter::~CaptureConverter() = default;

int CaptureConverter::capacity(int frames) const
{
    return Resampler::capacity(frames, m_source.sampleRate, wireRate);
}

CaptureConverter::Block CaptureConverter::convert(const float* samples, int frames)
{
    Block block;
    if (frames <= 0)
        return block;
    const int capacity = this->capacity(frames);
    QByteArray bytes(qsizetype(capacity) * 2, Qt::Uninitialized);
    auto* out = reinterpret_cast<int16_t*>(bytes.data());
    int produced = 0;
    double sum = 0;
    // The input is supplied exactly once; the scratch buffer holds one capture block's worth,
    // so longer inputs go through in pieces.
    for (int offset = 0; offset < frames;) {
        const int chunk = std::min(frames - offset, AudioDevice::captureBlockFrames);
        const auto counts = m_resampler->process(samples + qsizetype(offset) * m_source.channels, chunk,
                                                 m_scratch.data(), int(m_scratch.size()));
        if (counts.produced < 0)
            return block;
        const int count = std::min(counts.produced, capacity - produced);
        for (int i = 0; i < count; ++i) {
            const float scaled = std::clamp(m_scratch[size_t(i)] * 32768.0f, -32768.0f, 32767.0f);
            const auto sample = static_cast<int16_t>(std::lrint(scaled));
            out[produced + i] = sample;
            const double normalised = sample / 32768.0;
            sum += normalised * normalised;
        }
        produced += count;
        offset += chunk;
    }
    if (produced == 0)
        return block;
    bytes.resize(qsizetype(produced) * 2);
    block.bytes = std::move(bytes);
    block.level = float(std::min(1.0, 7.0 * std::sqrt(sum / produced)));
    return block;
}

// --- AudioEngine ---

AudioEngine::AudioEngine(AudioDeviceFactory deviceFactory, QObject* parent)
    : QObject(parent), m_deviceFactory(std::move(deviceFactory))
{
}

AudioEngine::~AudioEngine()
{
    // The device's threads may still reach into this object until it has stopped.
    if (m_device)
        m_device->stop();
}

Status AudioEngine::start()
{
    stop();
    if (!m_device && m_deviceFactory)
        m_device = m_deviceFactory();
    if (!m_device || !m_device->microphoneAuthorized())
        return KestraboError::message(kMicrophoneNotAllowed);

    const Status withVoiceProcessing = configure(true);
    if (withVoiceProcessing) {
        m_voiceProcessingEnabled = true;
        if (onNotice)
            onNotice(QString());
        return {};
    }
    const long long firstCode = withVoiceProcessing.error().code();
    stop();
    const Status ordinary = configure(false);
    if (ordinary) {
        if (onNotice)
            onNotice(QStringLiteral("Echo cancellation could not start (audio error %1). Use headphones to prevent "
                                    "the assistant hearing its own voice.")
                         .arg(firstCode));
        return {};
    }
    const long long secondCode = ordinary.error().code();
    stop();
    // A missing device is named as such; the generic advice is for devices that refused.
    const QString advice = isNoDevice(ordinary.error())
        ? ordinary.error().description()
        : QStringLiteral("Check the input and output devices in the system Sound settings, close other apps using "
                         "the microphone, then retry.");
    return KestraboError::message(QStringLiteral("Audio devices could not initialize (voice processing: %1, ordinary "
                                                 "audio: %2). %3")
                                      .arg(firstCode)
                                      .arg(secondCode)
                                      .arg(advice));
}

Status AudioEngine::configure(bool voiceProcessing)
{
    if (Status configured = m_device->configure(voiceProcessing); !configured)
        return configured;

    const AudioFormat input = m_device->inputFormat();
    std::shared_ptr<CaptureConverter> converter = CaptureConverter::create(input);
    if (!converter)
        return noDevice(kNoMicrophone);
    if (!m_device->outputFormat().usable())
        return noDevice(kNoSpeaker);

    QUuid token;
    {
        std::lock_guard lock(m_captureLock);
        token = m_captureGeneration;
    }
    const Status started = m_device->start(
        [this, converter, token](const float* samples, int frames) { capture(*converter, token, samples, frames); },
        [this, token](long long code) {
            post(this, [this, token, code] {
                bool current;
                {
                    std::lock_guard guard(m_captureLock);
                    current = token == m_captureGeneration;
                }
                if (current && onFailure)
                    onFailure(kDeviceLost.arg(code));
            });
        });
    if (!started) {
        stop();
        return started;
    }
    m_running = true;
    return {};
}

void AudioEngine::capture(CaptureConverter& converter, const QUuid& token, const float* samples, int frames)
{
    CaptureConverter::Block block = converter.convert(samples, frames);
    if (block.bytes.isEmpty())
        return;
    deliver(std::move(block.bytes), block.level, token);
}

void AudioEngine::deliver(QByteArray data, float level, const QUuid& token)
{
    const qint64 length = data.size();
    {
        std::unique_lock lock(m_captureLock);
        if (token != m_captureGeneration || m_captureOverloaded)
            return;
        if (m_queuedCaptureBytes + length > captureBacklogBytes) {
            m_captureOverloaded = true;
            lock.unlock();
            post(this, [this, token] {
                bool current;
                {
                    std::lock_guard guard(m_captureLock);
                    current = token == m_captureGeneration;
                }
                if (current && onFailure)
                    onFailure(kCaptureOverload);
            });
            return;
        }
        m_queuedCaptureBytes += length;
    }
    post(this, [this, token, length, level, data = std::move(data)] {
        {
            std::lock_guard guard(m_captureLock);
            if (token != m_captureGeneration)
                return;
            m_queuedCaptureBytes -= length;
        }
        QPointer<AudioEngine> self(this);
        if (onLevel)
            onLevel(level);
        if (self && onAudio)
            onAudio(data);
    });
}

void AudioEngine::play(const QByteArray& data)
{
    if (!m_running || data.isEmpty() || data.size() % 2 != 0)
        return;
    const qint64 frames = data.size() / 2;
    if (m_queuedFrames + frames > playbackBacklogFrames) {
        if (onFailure)
            onFailure(kPlaybackOverload);
        return;
    }
    std::vector<float> samples(static_cast<size_t>(frames));
    const auto* bytes = reinterpret_cast<const uint8_t*>(data.constData());
    for (qint64 i = 0; i < frames; ++i) {
        const auto sample = static_cast<int16_t>(uint16_t(bytes[2 * i]) | uint16_t(bytes[2 * i + 1]) << 8);
        samples[size_t(i)] = float(sample) * (1.0f / 32768.0f);
    }

    const QUuid token = m_playbackGeneration;
    const bool fromSilence = m_queuedFrames <= 0;
    m_queuedFrames += frames;
    if (fromSilence && onPlaybackState) {
        onPlaybackState(true);
        // The owner may have stopped the engine in its callback.
        if (token != m_playbackGeneration || !m_running)
            return;
    }
    m_device->schedule(std::move(samples), [this, token, frames] {
        post(this, [this, token, frames] {
            if (token != m_playbackGeneration)
                return;
            m_queuedFrames = std::max<qint64>(0, m_queuedFrames - frames);
            if (m_queuedFrames <= 0 && onPlaybackState)
                onPlaybackState(false);
        });
    });
}

void AudioEngine::stop()
{
    {
        std::lock_guard lock(m_captureLock);
        m_captureGeneration = QUuid::createUuid();
        m_queuedCaptureBytes = 0;
        m_captureOverloaded = false;
    }
    m_playbackGeneration = QUuid::createUuid();
    const qint64 queued = m_queuedFrames;
    m_queuedFrames = 0;
    // Stopping the device removes the capture callback and the player with it.
    if (m_device)
        m_device->stop();
    m_running = false;
    m_voiceProcessingEnabled = false;
    if (queued > 0 && onPlaybackState)
        onPlaybackState(false);
}

} // namespace kestrabo
