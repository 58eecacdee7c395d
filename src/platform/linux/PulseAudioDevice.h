#pragma once

#include "platform/AudioDevice.h"

#include <memory>

namespace kestrabo {

// The default microphone and speaker of the PulseAudio server (or PipeWire's PulseAudio
// service), driven through the asynchronous API on a threaded main loop. Capture arrives in the
// source's own rate and channels in 1,024-frame blocks; with voice processing the WebRTC echo
// canceller runs on its first channel at its nearest native rate, fed exactly the samples the
// playback stream writes. Playback keeps one 24 kHz float stream running (silence between
// buffers, so the canceller's far end never stops) and reports each buffer once the server's
// playback position has passed its end.
class PulseAudioDevice final : public AudioDevice {
public:
    PulseAudioDevice();
    ~PulseAudioDevice() override;

    bool microphoneAuthorized() override;
    Status configure(bool voiceProcessing) override;
    AudioFormat inputFormat() const override;
    AudioFormat outputFormat() const override;
    Status start(CaptureHandler onCapture, FailureHandler onFailure) override;
    void schedule(std::vector<float> samples, PlayedHandler onPlayed) override;
    void stop() override;

private:
    struct Impl;
    std::unique_ptr<Impl> d;
};

AudioDeviceFactory pulseAudioDeviceFactory();

// Linux has no per-application microphone grant: the microphone counts as authorised when the
// sound server is reachable (within five seconds). A missing input is a device problem.
bool pulseAudioReachable();

} // namespace kestrabo
