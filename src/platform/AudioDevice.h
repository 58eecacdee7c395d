#pragma once

#include "core/Result.h"

#include <functional>
#include <memory>
#include <vector>

namespace kestrabo {

// Interleaved 32-bit float frames at one rate.
struct AudioFormat {
    int sampleRate = 0;
    int channels = 0;

    bool usable() const { return sampleRate > 0 && channels > 0; }
};

// One microphone and one speaker of the sound server, as the audio engine drives them: a
// capture callback on the device's audio thread, and playback of 24 kHz float mono buffers that
// each report when they have actually been played. Main-thread methods; every callback runs on
// the device's own thread and must not block.
//
// Error codes are the sound server's or the echo canceller's own. A second, independent device
// (another capture stream at another rate) may exist beside this one.
class AudioDevice {
public:
    static constexpr int captureBlockFrames = 1024;
    static constexpr int playbackRate = 24000;

    // `frames` interleaved frames in inputFormat(), normally captureBlockFrames of them.
    using CaptureHandler = std::function<void(const float* samples, int frames)>;
    // The buffer it was scheduled with has been played back.
    using PlayedHandler = std::function<void()>;
    // The running configuration stopped working (the sound server went away, a stream failed);
    // called at most once per start(), with the server's error code.
    using FailureHandler = std::function<void(long long code)>;

    virtual ~AudioDevice() = default;

    // The user's sound server is reachable: nothing else grants or refuses the microphone.
    virtual bool microphoneAuthorized() = 0;

    // Builds a fresh capture and playback configuration, replacing the last one. With voice
    // processing, the echo canceller sits on the capture path and hears the playback as its far
    // end; an error then means it could not run.
    virtual Status configure(bool voiceProcessing) = 0;
    // Formats of the configured capture (after the canceller, if any) and of the output device.
    // Unusable when there is no such device; a sink's monitor is never a microphone.
    virtual AudioFormat inputFormat() const = 0;
    virtual AudioFormat outputFormat() const = 0;

    // Starts capture and playback of the configured graph.
    virtual Status start(CaptureHandler onCapture, FailureHandler onFailure) = 0;
    // Queues 24 kHz mono samples after everything queued before.
    virtual void schedule(std::vector<float> samples, PlayedHandler onPlayed) = 0;
    // Stops capture and playback and drops queued buffers without reporting them. When it
    // returns, no callback of this run is running and none will run.
    virtual void stop() = 0;
};

using AudioDeviceFactory = std::function<std::unique_ptr<AudioDevice>()>;

} // namespace kestrabo
