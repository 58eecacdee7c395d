#include "platform/linux/PulseAudioDevice.h"

#include "core/Resampler.h"
#include "platform/linux/EchoCanceller.h"
#include "platform/linux/PulseConnection.h"

#include <algorithm>
#include <cstring>
#include <deque>
#include <utility>

namespace kestrabo {

namespace {

constexpr int kFloatBytes = sizeof(float);
// Small buffers keep the capture and playback latency, and with it the echo delay, short.
constexpr int kCaptureFragmentMs = 10;
constexpr int kPlaybackTargetMs = 50;
constexpr int kPlaybackRequestMs = 10;

uint32_t bytesFor(int milliseconds, int rate, int channels)
{
    return uint32_t(rate) * uint32_t(milliseconds) / 1000u * uint32_t(channels) * kFloatBytes;
}

} // namespace

struct PulseAudioDevice::Impl {
    // Main thread.
    std::unique_ptr<PulseConnection> connection;
    PulseConnection::Defaults defaults;
    bool voiceProcessing = false;
    AudioFormat input;
    AudioFormat output;

    // Loop thread, or the main thread holding the loop lock.
    pa_stream* record = nullptr;
    pa_stream* playback = nullptr;
    CaptureHandler onCapture;
    FailureHandler onFailure;
    std::vector<float> block; // the capture block being filled
    int blockFrames = 0;

    std::unique_ptr<EchoCanceller> canceller;
    std::unique_ptr<Resampler> nearPick; // first channel, at the canceller's rate
    std::unique_ptr<Resampler> farConvert; // playback rate to the canceller's rate
    std::vector<float> nearScratch, nearFrame, farScratch, farFrame;
    int nearFill = 0;
    int farFill = 0;

    struct Pending {
        std::vector<float> samples;
        size_t offset = 0;
        PlayedHandler onPlayed;
    };
    struct Written {
        long long endFrame = 0;
        PlayedHandler onPlayed;
    };
    std::deque<Pending> queue;
    std::deque<Written> written;
    long long writtenFrames = 0;

    void teardown();
    Status openStreams();
    void captured(const float* samples, int frames);
    void cancelEcho(const float* samples, int frames, int delayMs);
    void lost(int code);
    void appendMono(const float* samples, int count);
    void render(float* out, int frames);
    void checkPlayed();
    int latencyMs(pa_stream* stream) const;
};

PulseAudioDevice::PulseAudioDevice() : d(std::make_unique<Impl>()) {}

PulseAudioDevice::~PulseAudioDevice()
{
    d->teardown();
}

bool PulseAudioDevice::microphoneAuthorized()
{
    return pulseAudioReachable();
}

Status PulseAudioDevice::configure(bool voiceProcessing)
{
    d->teardown();
    d->connection = std::make_unique<PulseConnection>();
    if (Status opened = d->connection->open(); !opened) {
        d->teardown();
        return opened;
    }
    d->defaults = d->connection->defaults();
    d->voiceProcessing = voiceProcessing;
    const auto& source = d->defaults.sourceSpec;
    const auto& sink = d->defaults.sinkSpec;
    d->output = d->defaults.haveSink ? AudioFormat{int(sink.rate), int(sink.channels)} : AudioFormat{};
    if (!d->defaults.haveMicrophone()) {
        d->input = {};
        return {};
    }
    if (!voiceProcessing) {
        d->input = {int(source.rate), int(source.channels)};
        return {};
    }

    const int rate = EchoCanceller::processingRate(int(source.rate));
    auto canceller = EchoCanceller::create(rate);
    if (!canceller)
        return canceller.error();
    auto nearPick = Resampler::create(int(source.rate), rate, int(source.channels));
    if (!nearPick)
        return nearPick.error();
    auto farConvert = Resampler::create(playbackRate, rate);
    if (!farConvert)
        return farConvert.error();
    d->canceller = std::move(canceller).value();
    d->nearPick = std::move(nearPick).value();
    d->farConvert = std::move(farConvert).value();
    const int frame = d->canceller->frameSamples();
    d->nearScratch.assign(size_t(Resampler::capacity(captureBlockFrames, int(source.rate), rate)), 0.0f);
    d->nearFrame.assign(size_t(frame), 0.0f);
    d->farScratch.assign(size_t(Resampler::capacity(captureBlockFrames, playbackRate, rate)), 0.0f);
    d->farFrame.assign(size_t(frame), 0.0f);
    d->input = {rate, 1};
    return {};
}

AudioFormat PulseAudioDevice::inputFormat() const
{
    return d->input;
}

AudioFormat PulseAudioDevice::outputFormat() const
{
    return d->output;
}

Status PulseAudioDevice::start(CaptureHandler onCapture, FailureHandler onFailure)
{
    if (!d->connection)
        return pulseError(PA_ERR_BADSTATE);
    d->block.assign(size_t(captureBlockFrames) * size_t(std::max(1, d->input.channels)), 0.0f);
    d->blockFrames = 0;
    d->nearFill = 0;
    d->farFill = 0;
    d->writtenFrames = 0;
    pa_threaded_mainloop_lock(d->connection->loop);
    d->onCapture = std::move(onCapture);
    const Status opened = d->openStreams();
    // Losses while opening are the start's own error; from here on they are reported.
    if (opened) {
        d->onFailure = std::move(onFailure);
        Impl* impl = d.get();
        d->connection->onLost = [impl](int code) { impl->lost(code); };
    }
    pa_threaded_mainloop_unlock(d->connection->loop);
    if (!opened)
        d->teardown();
    return opened;
}

Status PulseAudioDevice::Impl::openStreams()
{
    pa_context* context = connection->context;
    const pa_stream_flags_t flags = pa_stream_flags_t(PA_STREAM_ADJUST_LATENCY | PA_STREAM_AUTO_TIMING_UPDATE |
                                                      PA_STREAM_INTERPOLATE_TIMING);
    auto stateChanged = [](pa_stream* stream, void* userdata) {
        auto* self = static_cast<Impl*>(userdata);
        const pa_stream_state_t state = pa_stream_get_state(stream);
        if (state == PA_STREAM_FAILED || state == PA_STREAM_TERMINATED)
            self->lost(pa_context_errno(self->connection->context));
        PulseConnection::signal(self->connection->loop);
    };

    // Capture in the source's own rate and channel layout, so nothing is remixed on the way.
    const pa_sample_spec captureSpec{PA_SAMPLE_FLOAT32LE, defaults.sourceSpec.rate, defaults.sourceSpec.channels};
    record = pa_stream_new(context, "Microphone", &captureSpec, &defaults.sourceMap);
    if (!record)
        return pulseError(pa_context_errno(context));
    pa_stream_set_state_callback(record, stateChanged, this);
    pa_stream_set_read_callback(
        record,
        [](pa_stream* stream, size_t, void* userdata) {
            auto* self = static_cast<Impl*>(userdata);
            const int frameBytes = kFloatBytes * int(self->defaults.sourceSpec.channels);
            PulseConnection::drain(stream, [&](const void* data, size_t bytes) {
                self->captured(static_cast<const float*>(data), int(bytes / size_t(frameBytes)));
            });
            self->checkPlayed();
        },
        this);
    pa_buffer_attr captureAttr;
    std::memset(&captureAttr, 0xff, sizeof captureAttr);
    captureAttr.fragsize = bytesFor(kCaptureFragmentMs, int(captureSpec.rate), captureSpec.channels);
    if (pa_stream_connect_record(record, defaults.sourceName.c_str(), &captureAttr, flags) < 0)
        return pulseError(pa_context_errno(context));

    const pa_sample_spec playbackSpec{PA_SAMPLE_FLOAT32LE, uint32_t(playbackRate), 1};
    playback = pa_stream_new(context, "Assistant", &playbackSpec, nullptr);
    if (!playback)
        return pulseError(pa_context_errno(context));
    pa_stream_set_state_callback(playback, stateChanged, this);
    pa_stream_set_write_callback(
        playback,
        [](pa_stream* stream, size_t requested, void* userdata) {
            auto* self = static_cast<Impl*>(userdata);
            while (requested >= size_t(kFloatBytes)) {
                void* buffer = nullptr;
                size_t size = requested;
                if (pa_stream_begin_write(stream, &buffer, &size) < 0 || !buffer || size < size_t(kFloatBytes))
                    break;
                size -= size % kFloatBytes;
                self->render(static_cast<float*>(buffer), int(size / kFloatBytes));
                pa_stream_write(stream, buffer, size, nullptr, 0, PA_SEEK_RELATIVE);
                requested -= std::min(requested, size);
            }
            self->checkPlayed();
        },
        this);
    pa_buffer_attr playbackAttr;
    std::memset(&playbackAttr, 0xff, sizeof playbackAttr);
    playbackAttr.tlength = bytesFor(kPlaybackTargetMs, playbackRate, 1);
    playbackAttr.minreq = bytesFor(kPlaybackRequestMs, playbackRate, 1);
    const char* sink = defaults.haveSink ? defaults.sinkName.c_str() : nullptr;
    if (pa_stream_connect_playback(playback, sink, &playbackAttr, flags, nullptr, nullptr) < 0)
        return pulseError(pa_context_errno(context));

    const bool settled = connection->wait([this] {
        for (pa_stream* stream : {record, playback})
            if (PA_STREAM_IS_GOOD(pa_stream_get_state(stream)) && pa_stream_get_state(stream) != PA_STREAM_READY)
                return false;
        return true;
    });
    if (!settled)
        return pulseError(PA_ERR_TIMEOUT);
    for (pa_stream* stream : {record, playback})
        if (pa_stream_get_state(stream) != PA_STREAM_READY)
            return pulseError(pa_context_errno(context));
    return {};
}

// Loop thread: the first loss of a running configuration is reported, once.
void PulseAudioDevice::Impl::lost(int code)
{
    if (FailureHandler report = std::exchange(onFailure, nullptr))
        report(code > 0 ? code : PA_ERR_CONNECTIONTERMINATED);
}

int PulseAudioDevice::Impl::latencyMs(pa_stream* stream) const
{
    pa_usec_t latency = 0;
    int negative = 0;
    if (!stream || pa_stream_get_latency(stream, &latency, &negative) < 0 || negative)
        return 0;
    return int(latency / 1000);
}

void PulseAudioDevice::Impl::captured(const float* samples, int frames)
{
    const int channels = int(defaults.sourceSpec.channels);
    if (!canceller) {
        for (int offset = 0; offset < frames;) {
            const int count = std::min(frames - offset, captureBlockFrames - blockFrames);
            std::memcpy(block.data() + size_t(blockFrames) * size_t(channels), samples + size_t(offset) * size_t(channels),
                        size_t(count) * size_t(channels) * sizeof(float));
            blockFrames += count;
            offset += count;
            if (blockFrames == captureBlockFrames) {
                blockFrames = 0;
                if (onCapture)
                    onCapture(block.data(), captureBlockFrames);
            }
        }
        return;
    }
    // Render-to-capture delay: what the playback stream holds before it is heard, plus how
    // long the capture waited before we read it. The canceller refines it with its own estimate
    // (the acoustic path is invisible to us).
    const int delayMs = latencyMs(playback) + latencyMs(record);
    for (int offset = 0; offset < frames;) {
        const int count = std::min(frames - offset, captureBlockFrames);
        const auto counts = nearPick->process(samples + size_t(offset) * size_t(channels), count, nearScratch.data(),
                                              int(nearScratch.size()));
        offset += count;
        if (counts.produced > 0)
            cancelEcho(nearScratch.data(), counts.produced, delayMs);
    }
}

void PulseAudioDevice::Impl::cancelEcho(const float* samples, int count, int delayMs)
{
    const int frame = canceller->frameSamples();
    for (int i = 0; i < count;) {
        const int take = std::min(count - i, frame - nearFill);
        std::copy(samples + i, samples + i + take, nearFrame.begin() + nearFill);
        nearFill += take;
        i += take;
        if (nearFill < frame)
            continue;
        nearFill = 0;
        canceller->process(nearFrame.data(), delayMs);
        appendMono(nearFrame.data(), frame);
    }
}

void PulseAudioDevice::Impl::appendMono(const float* samples, int count)
{
    for (int i = 0; i < count;) {
        const int take = std::min(count - i, captureBlockFrames - blockFrames);
        std::copy(samples + i, samples + i + take, block.begin() + blockFrames);
        blockFrames += take;
        i += take;
        if (blockFrames == captureBlockFrames) {
            blockFrames = 0;
            if (onCapture)
                onCapture(block.data(), captureBlockFrames);
        }
    }
}

void PulseAudioDevice::Impl::render(float* out, int frames)
{
    int filled = 0;
    while (filled < frames && !queue.empty()) {
        Pending& pending = queue.front();
        const int take = int(std::min(size_t(frames - filled), pending.samples.size() - pending.offset));
        std::copy_n(pending.samples.begin() + long(pending.offset), take, out + filled);
        pending.offset += size_t(take);
        filled += take;
        if (pending.offset == pending.samples.size()) {
            written.push_back({writtenFrames + filled, std::move(pending.onPlayed)});
            queue.pop_front();
        }
    }
    std::fill(out + filled, out + frames, 0.0f);
    writtenFrames += frames;

    if (!canceller)
        return;
    // The far end is exactly what was just written, silence included, in the order written.
    const int frame = canceller->frameSamples();
    for (int offset = 0; offset < frames;) {
        const int count = std::min(frames - offset, captureBlockFrames);
        const auto counts = farConvert->process(out + offset, count, farScratch.data(), int(farScratch.size()));
        offset += count;
        for (int i = 0; i < counts.produced;) {
            const int take = std::min(counts.produced - i, frame - farFill);
            std::copy_n(farScratch.begin() + i, take, farFrame.begin() + farFill);
            farFill += take;
            i += take;
            if (farFill == frame) {
                farFill = 0;
                canceller->render(farFrame.data());
            }
        }
    }
}

void PulseAudioDevice::Impl::checkPlayed()
{
    if (!playback || written.empty())
        return;
    pa_usec_t position = 0;
    if (pa_stream_get_time(playback, &position) < 0)
        return;
    const long long played = static_cast<long long>(position * pa_usec_t(playbackRate) / PA_USEC_PER_SEC);
    while (!written.empty() && written.front().endFrame <= played) {
        PlayedHandler done = std::move(written.front().onPlayed);
        written.pop_front();
        if (done)
            done();
    }
}

void PulseAudioDevice::schedule(std::vector<float> samples, PlayedHandler onPlayed)
{
    if (!d->connection || !d->playback || samples.empty())
        return;
    pa_threaded_mainloop_lock(d->connection->loop);
    d->queue.push_back({std::move(samples), 0, std::move(onPlayed)});
    pa_threaded_mainloop_unlock(d->connection->loop);
}

void PulseAudioDevice::stop()
{
    d->teardown();
}

void PulseAudioDevice::Impl::teardown()
{
    if (connection) {
        pa_threaded_mainloop_lock(connection->loop);
        onFailure = nullptr;
        connection->onLost = nullptr;
        for (pa_stream** stream : {&record, &playback}) {
            if (!*stream)
                continue;
            pa_stream_set_read_callback(*stream, nullptr, nullptr);
            pa_stream_set_write_callback(*stream, nullptr, nullptr);
            pa_stream_set_state_callback(*stream, nullptr, nullptr);
            pa_stream_disconnect(*stream);
            pa_stream_unref(*stream);
            *stream = nullptr;
        }
        pa_threaded_mainloop_unlock(connection->loop);
        connection->close();
        connection.reset();
    }
    // The loop thread has ended: what it shared can go.
    onCapture = nullptr;
    queue.clear();
    written.clear();
    canceller.reset();
    nearPick.reset();
    farConvert.reset();
    input = {};
    output = {};
}

AudioDeviceFactory pulseAudioDeviceFactory()
{
    return [] { return std::make_unique<PulseAudioDevice>(); };
}

bool pulseAudioReachable()
{
    PulseConnection connection;
    return bool(connection.open());
}

} // namespace kestrabo
