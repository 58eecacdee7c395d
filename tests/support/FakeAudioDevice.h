#pragma once

#include "platform/AudioDevice.h"

#include <memory>
#include <vector>

namespace kestrabo::test {

// A scripted sound device. The test keeps the script (the engine owns the device): `capture`
// plays the audio thread, `finish` reports a scheduled buffer as played, on the caller's thread.
struct FakeAudioScript {
    bool authorized = true;
    long long voiceProcessingError = 0; // nonzero: configure(true) fails with this code
    long long ordinaryError = 0;        // nonzero: configure(false) fails with this code
    AudioFormat input{48000, 1};
    AudioFormat output{48000, 2};

    int configures = 0;
    bool running = false;
    bool voiceProcessing = false;
    AudioDevice::CaptureHandler onCapture;
    AudioDevice::FailureHandler onFailure; // the test plays a device that stops working
    struct Scheduled {
        std::vector<float> samples;
        AudioDevice::PlayedHandler onPlayed;
    };
    std::vector<Scheduled> scheduled; // kept across stop(), so an old one can finish late

    void capture(const std::vector<float>& interleaved)
    {
        if (onCapture)
            onCapture(interleaved.data(), int(interleaved.size()) / input.channels);
    }
    void finish(size_t index) { scheduled.at(index).onPlayed(); }
};

class FakeAudioDevice final : public AudioDevice {
public:
    explicit FakeAudioDevice(std::shared_ptr<FakeAudioScript> script) : m_script(std::move(script)) {}
    static AudioDeviceFactory factory(std::shared_ptr<FakeAudioScript> script)
    {
        return [script] { return std::make_unique<FakeAudioDevice>(script); };
    }

    bool microphoneAuthorized() override { return m_script->authorized; }
    Status configure(bool voiceProcessing) override
    {
        ++m_script->configures;
        if (const long long code = voiceProcessing ? m_script->voiceProcessingError : m_script->ordinaryError)
            return KestraboError(QStringLiteral("FakeAudio"), code, QStringLiteral("refused"));
        m_script->voiceProcessing = voiceProcessing;
        return {};
    }
    AudioFormat inputFormat() const override { return m_script->input; }
    AudioFormat outputFormat() const override { return m_script->output; }
    Status start(CaptureHandler onCapture, FailureHandler onFailure) override
    {
        m_script->onCapture = std::move(onCapture);
        m_script->onFailure = std::move(onFailure);
        m_script->running = true;
        return {};
    }
    void schedule(std::vector<float> samples, PlayedHandler onPlayed) override
    {
        m_script->scheduled.push_back({std::move(samples), std::move(onPlayed)});
    }
    void stop() override
    {
        m_script->running = false;
        m_script->onCapture = nullptr;
        m_script->onFailure = nullptr;
    }

private:
    std::shared_ptr<FakeAudioScript> m_script;
};

} // namespace kestrabo::test
