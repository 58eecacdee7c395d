#pragma once

#include "core/Result.h"
#include "platform/AudioDevice.h"

#include <QByteArray>
#include <QObject>
#include <QUuid>

#include <functional>
#include <memory>
#include <mutex>
#include <vector>

namespace kestrabo {

class Resampler;

// Turns native capture frames into wire audio: the first channel only, converted to 24 kHz
// signed 16-bit mono, with the block's level. Runs on the audio thread; allocates only the
// block it returns.
class CaptureConverter {
public:
    static constexpr int wireRate = 24000;

    // Nothing when the source has no rate or no channels.
    static std::unique_ptr<CaptureConverter> create(AudioFormat source);
    ~CaptureConverter();

    struct Block {
        QByteArray bytes; // empty: the block is dropped
        float level = 0;  // min(1, 7 × RMS)
    };
    Block convert(const float* samples, int frames);

    // Most output frames `frames` input frames may yield.
    int capacity(int frames) const;

private:
    CaptureConverter(std::unique_ptr<Resampler> resampler, AudioFormat source);
    std::unique_ptr<Resampler> m_resampler;
    AudioFormat m_source;
    std::vector<float> m_scratch;
};

// The companion's microphone and speaker. Every callback runs on the main thread.
//
// Capture blocks arrive on the device's audio thread, are converted there and posted to the
// main thread under a backlog limit; playback buffers report back when the device has played
// them. `stop()` opens a new capture epoch and a new playback epoch, so anything of the old
// ones still in flight is dropped on arrival.
class AudioEngine : public QObject {
    Q_OBJECT
public:
    static constexpr qint64 captureBacklogBytes = 240'000;
    static constexpr qint64 playbackBacklogFrames = 720'000;

    // Without a factory there is no sound device: start() reports the microphone unavailable.
    explicit AudioEngine(AudioDeviceFactory deviceFactory = {}, QObject* parent = nullptr);
    ~AudioEngine() override;

    std::function<void(const QByteArray&)> onAudio;
    std::function<void(float)> onLevel;
    std::function<void(bool playing)> onPlaybackState;
    std::function<void(const QString&)> onFailure;
    std::function<void(const QString&)> onNotice;

    Status start();
    void stop();
    void play(const QByteArray& data);

    bool isRunning() const { return m_running; }
    bool voiceProcessingEnabled() const { return m_voiceProcessingEnabled; }
    qint64 queuedFrames() const { return m_queuedFrames; }
    // The device, once start() has created it.
    AudioDevice* device() const { return m_device.get(); }

private:
    Status configure(bool voiceProcessing);
    void capture(CaptureConverter& converter, const QUuid& token, const float* samples, int frames);
    void deliver(QByteArray data, float level, const QUuid& token);

    AudioDeviceFactory m_deviceFactory;
    std::unique_ptr<AudioDevice> m_device;
    bool m_running = false;
    bool m_voiceProcessingEnabled = false;
    QUuid m_playbackGeneration = QUuid::createUuid();
    qint64 m_queuedFrames = 0;

    // Shared with the audio thread; held only for comparisons and counter updates.
    std::mutex m_captureLock;
    QUuid m_captureGeneration = QUuid::createUuid();
    qint64 m_queuedCaptureBytes = 0;
    bool m_captureOverloaded = false;
};

} // namespace kestrabo
