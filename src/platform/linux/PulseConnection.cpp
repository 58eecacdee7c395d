#include "platform/linux/PulseConnection.h"

#include <utility>

namespace kestrabo {

KestraboError pulseError(int code)
{
    if (code <= 0)
        code = PA_ERR_UNKNOWN;
    return KestraboError(QStringLiteral("PulseAudio"), code, QString::fromUtf8(pa_strerror(code)));
}

Status PulseConnection::open(const char* clientName)
{
    loop = pa_threaded_mainloop_new();
    if (!loop)
        return pulseError(PA_ERR_INTERNAL);
    pa_proplist* properties = pa_proplist_new();
    pa_proplist_sets(properties, PA_PROP_APPLICATION_NAME, "Kestrabo");
    pa_proplist_sets(properties, PA_PROP_APPLICATION_ID, "kestrabo");
    context = pa_context_new_with_proplist(pa_threaded_mainloop_get_api(loop), clientName, properties);
    pa_proplist_free(properties);
    if (!context)
        return pulseError(PA_ERR_INTERNAL);
    pa_context_set_state_callback(
        context,
        [](pa_context* context, void* userdata) {
            auto* self = static_cast<PulseConnection*>(userdata);
            const pa_context_state_t state = pa_context_get_state(context);
            if ((state == PA_CONTEXT_FAILED || state == PA_CONTEXT_TERMINATED) && self->onLost)
                std::exchange(self->onLost, nullptr)(pa_context_errno(context));
            signal(self->loop);
        },
        this);
    if (pa_context_connect(context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0)
        return pulseError(pa_context_errno(context));
    if (pa_threaded_mainloop_start(loop) < 0)
        return pulseError(PA_ERR_INTERNAL);
    pa_threaded_mainloop_lock(loop);
    const bool ready = wait([this] { return !PA_CONTEXT_IS_GOOD(pa_context_get_state(context))
                                            || pa_context_get_state(context) == PA_CONTEXT_READY; });
    const pa_context_state_t state = pa_context_get_state(context);
    const int code = !ready ? PA_ERR_TIMEOUT : state == PA_CONTEXT_READY ? 0 : pa_context_errno(context);
    pa_threaded_mainloop_unlock(loop);
    if (code != 0 || state != PA_CONTEXT_READY)
        return pulseError(code == 0 ? PA_ERR_CONNECTIONREFUSED : code);
    return {};
}

bool PulseConnection::wait(const std::function<bool()>& done)
{
    struct Alarm {
        pa_threaded_mainloop* loop;
        bool expired = false;
    } alarm{loop};
    timeval when{};
    pa_timeval_add(pa_gettimeofday(&when), kPulseDeadline);
    pa_mainloop_api* api = pa_threaded_mainloop_get_api(loop);
    pa_time_event* event = api->time_new(
        api, &when,
        [](pa_mainloop_api*, pa_time_event*, const timeval*, void* userdata) {
            auto* alarm = static_cast<Alarm*>(userdata);
            alarm->expired = true;
            signal(alarm->loop);
        },
        &alarm);
    while (!done() && !alarm.expired)
        pa_threaded_mainloop_wait(loop);
    api->time_free(event);
    return done();
}

void PulseConnection::await(pa_operation* operation)
{
    if (!operation)
        return;
    if (!wait([operation] { return pa_operation_get_state(operation) != PA_OPERATION_RUNNING; }))
        pa_operation_cancel(operation);
    pa_operation_unref(operation);
}

PulseConnection::Defaults PulseConnection::defaults()
{
    Defaults result;
    pa_threaded_mainloop_lock(loop);
    struct Query {
        PulseConnection* self;
        Defaults* result;
    } query{this, &result};
    await(pa_context_get_server_info(
        context,
        [](pa_context*, const pa_server_info* info, void* userdata) {
            auto* q = static_cast<Query*>(userdata);
            if (info && info->default_source_name)
                q->result->sourceName = info->default_source_name;
            if (info && info->default_sink_name)
                q->result->sinkName = info->default_sink_name;
            signal(q->self->loop);
        },
        &query));
    if (!result.sourceName.empty())
        await(pa_context_get_source_info_by_name(
            context, result.sourceName.c_str(),
            [](pa_context*, const pa_source_info* info, int eol, void* userdata) {
                auto* q = static_cast<Query*>(userdata);
                if (info && eol == 0) {
                    q->result->haveSource = true;
                    q->result->sourceIsMonitor = info->monitor_of_sink != PA_INVALID_INDEX;
                    q->result->sourceSpec = info->sample_spec;
                    q->result->sourceMap = info->channel_map;
                }
                if (eol != 0)
                    signal(q->self->loop);
            },
            &query));
    if (!result.sinkName.empty())
        await(pa_context_get_sink_info_by_name(
            context, result.sinkName.c_str(),
            [](pa_context*, const pa_sink_info* info, int eol, void* userdata) {
                auto* q = static_cast<Query*>(userdata);
                if (info && eol == 0) {
                    q->result->haveSink = true;
                    q->result->sinkSpec = info->sample_spec;
                }
                if (eol != 0)
                    signal(q->self->loop);
            },
            &query));
    pa_threaded_mainloop_unlock(loop);
    return result;
}

void PulseConnection::close()
{
    if (loop && context) {
        pa_threaded_mainloop_lock(loop);
        onLost = nullptr;
        pa_threaded_mainloop_unlock(loop);
    }
    if (loop)
        pa_threaded_mainloop_stop(loop);
    if (context) {
        pa_context_disconnect(context);
        pa_context_unref(context);
        context = nullptr;
    }
    if (loop) {
        pa_threaded_mainloop_free(loop);
        loop = nullptr;
    }
}

} // namespace kestrabo
