#pragma once

#include "core/Result.h"

#include <pulse/pulseaudio.h>

#include <functional>
#include <string>

namespace kestrabo {

// Connecting to the server, queries and readying a stream never wait longer than this.
inline constexpr pa_usec_t kPulseDeadline = 5 * PA_USEC_PER_SEC;

KestraboError pulseError(int code);

// One connection to the PulseAudio server on its own threaded main loop. Callbacks run on the
// loop's thread with the loop lock held; other threads take the lock around every call into it.
struct PulseConnection {
    pa_threaded_mainloop* loop = nullptr;
    pa_context* context = nullptr;
    // Loop thread, set and cleared under the lock: the server went away after connecting.
    std::function<void(int code)> onLost;

    struct Defaults {
        bool haveSource = false;
        bool sourceIsMonitor = false;
        bool haveSink = false;
        std::string sourceName;
        std::string sinkName;
        pa_sample_spec sourceSpec{};
        pa_channel_map sourceMap{};
        pa_sample_spec sinkSpec{};

        // With no input the server makes a sink's monitor the default source: that plays back
        // the desktop's own sound, so it is never a microphone.
        bool haveMicrophone() const { return haveSource && !sourceIsMonitor; }
    };

    PulseConnection() = default;
    PulseConnection(const PulseConnection&) = delete;
    PulseConnection& operator=(const PulseConnection&) = delete;
    ~PulseConnection() { close(); }

    static void signal(void* loop) { pa_threaded_mainloop_signal(static_cast<pa_threaded_mainloop*>(loop), 0); }

    // For a record stream's read callback: hands each captured fragment to `deliver(data,
    // bytes)` and drops it. A hole (no data) is dropped like data, without delivering anything.
    template <typename Deliver>
    static void drain(pa_stream* stream, Deliver&& deliver)
    {
        const void* data = nullptr;
        size_t bytes = 0;
        while (pa_stream_peek(stream, &data, &bytes) == 0 && bytes > 0) {
            if (data)
                deliver(data, bytes);
            pa_stream_drop(stream);
        }
    }

    // Connects (never spawning a server) and starts the loop's thread.
    Status open(const char* clientName = "Kestrabo");

    // Call with the lock held. Waits on the loop until `done` holds or the deadline passes;
    // whether it holds.
    bool wait(const std::function<bool()>& done);

    // Call with the lock held. Waits for the operation (cancelling it at the deadline) and
    // releases it; null is a failed call and returns at once.
    void await(pa_operation* operation);

    // The default source and sink. Takes the lock.
    Defaults defaults();

    // Stops the loop's thread first, so no callback runs once this returns.
    void close();
};

} // namespace kestrabo
