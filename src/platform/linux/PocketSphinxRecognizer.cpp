#include "platform/linux/PocketSphinxRecognizer.h"

#include <pocketsphinx.h>
#include <pulse/pulseaudio.h>

#include <QFileInfo>
#include <QRegularExpression>

#include <cmath>
#include <cstring>
#include <string>

namespace kestrabo {

namespace {

// Pronunciations that PocketSphinx's US English model spots best on varied voices in noise:
// the name as K EH … or K AH … and "hey" as HH EH IY each missed more of them.
struct Pronunciation {
    const char* word;
    const char* phones;
};
constexpr Pronunciation kPronunciations[] = {
    {"hey", "HH EY"},
    {"kestrabo", "K IH S T R AA B OW"},
};

const char* phonesFor(const QString& word)
{
    for (const Pronunciation& entry : kPronunciations) {
        if (word == QLatin1String(entry.word))
            return entry.phones;
    }
    return nullptr;
}

constexpr int kFrameSamples = KeyphraseSpotter::sampleRate / 100; // 10 ms
constexpr int kPrerollFrames = 50;                                // 500 ms before the gate opened
constexpr int kHangoverFrames = 80;                               // stays open 800 ms after speech
constexpr double kOpenAboveFloorDb = 9.0;
constexpr double kQuietestVoiceDb = -60.0;
constexpr double kFloorRiseDbPerFrame = 0.02;                     // 2 dB a second
// A weaker phone loop (the "anything else" path, default 1e-1) lets quiet or unusual voices
// reach the keyphrase; the threshold then keeps other speech out.
constexpr const char* kPhoneLoopProbability = "1e-5";
// Capture pieces of 50 ms: few wake-ups a second, and a short wait after the phrase.
constexpr int kCaptureFragmentMs = 50;

double energyDb(const int16_t* samples)
{
    double sum = 0;
    for (int i = 0; i < kFrameSamples; ++i)
        sum += double(samples[i]) * samples[i];
    return 10.0 * std::log10(sum / kFrameSamples / (32768.0 * 32768.0) + 1e-12);
}

KestraboError pulseError(int code)
{
    if (code <= 0)
        code = PA_ERR_UNKNOWN;
    return KestraboError(QStringLiteral("PulseAudio"), code, QString::fromUtf8(pa_strerror(code)));
}

} // namespace

// ---- KeyphraseSpotter

struct KeyphraseSpotter::Decoder {
    cmd_ln_t* config = nullptr;
    ps_decoder_t* ps = nullptr;
    ~Decoder()
    {
        if (ps)
            ps_free(ps);
        if (config)
            cmd_ln_free_r(config);
    }
};

QString KeyphraseSpotter::keyphraseFor(const QString& hint)
{
    static const QRegularExpression letters(QStringLiteral("\\p{L}+"));
    QStringList words;
    for (auto match = letters.globalMatch(hint.toLower()); match.hasNext();) {
        const QString word = match.next().captured();
        if (!phonesFor(word))
            return {};
        words.append(word);
    }
    return words.join(QLatin1Char(' '));
}

std::unique_ptr<KeyphraseSpotter> KeyphraseSpotter::create(const Settings& settings)
{
    const QStringList words = settings.keyphrase.split(QLatin1Char(' '), Qt::SkipEmptyParts);
    if (words.isEmpty())
        return nullptr;
    auto decoder = std::make_unique<Decoder>();
    const std::string model = settings.acousticModel.toStdString();
    const QByteArray threshold = QByteArray::number(settings.threshold, 'g', 6);
    // The words are added below, so the decoder starts with an empty dictionary (fast to load).
    decoder->config = cmd_ln_init(nullptr, ps_args(), TRUE, "-hmm", model.c_str(), "-dict", "/dev/null",
                                  "-kws_threshold", threshold.constData(), "-kws_plp", kPhoneLoopProbability,
                                  "-logfn", "/dev/null", nullptr);
    if (!decoder->config)
        return nullptr;
    decoder->ps = ps_init(decoder->config);
    if (!decoder->ps)
        return nullptr;
    for (qsizetype i = 0; i < words.size(); ++i) {
        const char* phones = phonesFor(words[i]);
        if (!phones || ps_add_word(decoder->ps, words[i].toUtf8().constData(), phones, i + 1 == words.size()) < 0)
            return nullptr;
    }
    if (ps_set_keyphrase(decoder->ps, "wake", settings.keyphrase.toUtf8().constData()) < 0
        || ps_set_search(decoder->ps, "wake") < 0)
        return nullptr;
    return std::unique_ptr<KeyphraseSpotter>(new KeyphraseSpotter(std::move(decoder), settings.gate));
}

KeyphraseSpotter::KeyphraseSpotter(std::unique_ptr<Decoder> decoder, bool gate)
    : m_decoder(std::move(decoder)), m_gate(gate), m_preroll(size_t(kPrerollFrames) * kFrameSamples)
{
    m_partial.reserve(kFrameSamples);
}

KeyphraseSpotter::~KeyphraseSpotter() = default;

std::optional<QString> KeyphraseSpotter::feed(const int16_t* samples, int count)
{
    m_fed += count;
    m_hit.reset();
    int offset = 0;
    if (!m_partial.empty()) {
        const int take = std::min(count, kFrameSamples - int(m_partial.size()));
        m_partial.insert(m_partial.end(), samples, samples + take);
        offset = take;
        if (int(m_partial.size()) == kFrameSamples) {
            frame(m_partial.data());
            m_partial.clear();
        }
    }
    for (; offset + kFrameSamples <= count; offset += kFrameSamples)
        frame(samples + offset);
    m_partial.insert(m_partial.end(), samples + offset, samples + count);
    if (!m_pending.empty()) {
        decode(m_pending.data(), int(m_pending.size()));
        m_pending.clear();
    }
    return m_hit;
}

void KeyphraseSpotter::frame(const int16_t* samples)
{
    if (!m_gate) {
        m_pending.insert(m_pending.end(), samples, samples + kFrameSamples);
        return;
    }
    const double db = energyDb(samples);
    if (!m_floorKnown) {
        m_floorDb = db;
        m_floorKnown = true;
    }
    const bool voiced = db > m_floorDb + kOpenAboveFloorDb && db > kQuietestVoiceDb;
    m_floorDb = std::min(db, m_floorDb + kFloorRiseDbPerFrame);

    if (!m_open && voiced) {
        // The frames just before are part of the word that opened the gate.
        m_open = true;
        for (size_t i = 0; i < m_prerollFrames; ++i) {
            const size_t slot = (m_prerollStart + i) % kPrerollFrames;
            const int16_t* start = m_preroll.data() + slot * kFrameSamples;
            m_pending.insert(m_pending.end(), start, start + kFrameSamples);
        }
        m_prerollStart = 0;
        m_prerollFrames = 0;
    }
    if (m_open) {
        m_pending.insert(m_pending.end(), samples, samples + kFrameSamples);
        m_quietFrames = voiced ? 0 : m_quietFrames + 1;
        if (m_quietFrames >= kHangoverFrames) {
            decode(m_pending.data(), int(m_pending.size()));
            m_pending.clear();
            closeGate();
        }
        return;
    }
    const size_t slot = (m_prerollStart + m_prerollFrames) % kPrerollFrames;
    std::memcpy(m_preroll.data() + slot * kFrameSamples, samples, sizeof(int16_t) * kFrameSamples);
    if (m_prerollFrames < size_t(kPrerollFrames))
        ++m_prerollFrames;
    else
        m_prerollStart = (m_prerollStart + 1) % kPrerollFrames;
}

void KeyphraseSpotter::decode(const int16_t* samples, int count)
{
    if (count <= 0)
        return;
    ps_decoder_t* ps = m_decoder->ps;
    if (!m_inUtterance) {
        ps_start_utt(ps);
        m_inUtterance = true;
    }
    ps_process_raw(ps, samples, size_t(count), FALSE, FALSE);
    m_decoded += count;
    const char* hypothesis = ps_get_hyp(ps, nullptr);
    if (hypothesis && *hypothesis) {
        m_hit = QString::fromUtf8(hypothesis);
        ps_end_utt(ps);
        m_inUtterance = false;
    }
}

void KeyphraseSpotter::closeGate()
{
    m_open = false;
    m_quietFrames = 0;
    if (m_inUtterance) {
        ps_end_utt(m_decoder->ps);
        m_inUtterance = false;
    }
}

// ---- PocketSphinxRecognizer

struct PocketSphinxRecognizer::Impl {
    QString model;
    double threshold;

    // Main thread.
    pa_threaded_mainloop* loop = nullptr;
    pa_context* context = nullptr;

    // Loop thread, or the main thread holding the loop lock.
    pa_stream* record = nullptr;
    ResultHandler onResult;
    KeyphraseSpotter::Settings settings;
    std::unique_ptr<KeyphraseSpotter> spotter;
    bool reported = false; // an error or the keyphrase: the task has nothing more to say

    static void signal(void* userdata) { pa_threaded_mainloop_signal(static_cast<pa_threaded_mainloop*>(userdata), 0); }

    Status connect();
    Status openStream();
    void captured(const int16_t* samples, int count);
    void fail();
    void close();
};

PocketSphinxRecognizer::PocketSphinxRecognizer(QString acousticModel, double threshold) : d(std::make_unique<Impl>())
{
    d->model = std::move(acousticModel);
    d->threshold = threshold;
}

PocketSphinxRecognizer::~PocketSphinxRecognizer()
{
    stop();
}

QString PocketSphinxRecognizer::installedModel()
{
    return QStringLiteral("/usr/share/pocketsphinx/model/en-us/en-us");
}

bool PocketSphinxRecognizer::supportsOnDeviceRecognition() const
{
    for (const char* file : {"mdef", "means", "variances", "transition_matrices", "feat.params"}) {
        if (!QFileInfo(d->model + QLatin1Char('/') + QLatin1String(file)).isReadable())
            return false;
    }
    return true;
}

Status PocketSphinxRecognizer::start(const QStringList& contextualStrings, ResultHandler onResult)
{
    stop();
    const QString keyphrase = contextualStrings.isEmpty() ? QString() : KeyphraseSpotter::keyphraseFor(contextualStrings.first());
    if (keyphrase.isEmpty())
        return KestraboError::message(QStringLiteral("The wake phrase has no pronunciation."));
    d->settings = {.acousticModel = d->model, .keyphrase = keyphrase, .threshold = d->threshold};
    d->onResult = std::move(onResult);
    d->reported = false;
    Status started = d->connect();
    if (started) {
        pa_threaded_mainloop_lock(d->loop);
        started = d->openStream();
        pa_threaded_mainloop_unlock(d->loop);
    }
    if (!started)
        stop();
    return started;
}

Status PocketSphinxRecognizer::Impl::connect()
{
    loop = pa_threaded_mainloop_new();
    if (!loop)
        return pulseError(PA_ERR_INTERNAL);
    pa_proplist* properties = pa_proplist_new();
    pa_proplist_sets(properties, PA_PROP_APPLICATION_NAME, "Kestrabo");
    pa_proplist_sets(properties, PA_PROP_APPLICATION_ID, "kestrabo");
    context = pa_context_new_with_proplist(pa_threaded_mainloop_get_api(loop), "Kestrabo wake phrase", properties);
    pa_proplist_free(properties);
    if (!context)
        return pulseError(PA_ERR_INTERNAL);
    pa_context_set_state_callback(
        context, [](pa_context*, void* userdata) { signal(userdata); }, loop);
    if (pa_context_connect(context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0)
        return pulseError(pa_context_errno(context));
    if (pa_threaded_mainloop_start(loop) < 0)
        return pulseError(PA_ERR_INTERNAL);
    pa_threaded_mainloop_lock(loop);
    pa_context_state_t state;
    while ((state = pa_context_get_state(context)) != PA_CONTEXT_READY && PA_CONTEXT_IS_GOOD(state))
        pa_threaded_mainloop_wait(loop);
    const int code = state == PA_CONTEXT_READY ? 0 : pa_context_errno(context);
    pa_threaded_mainloop_unlock(loop);
    if (state != PA_CONTEXT_READY)
        return pulseError(code == 0 ? PA_ERR_CONNECTIONREFUSED : code);
    return {};
}

// Call with the lock held.
Status PocketSphinxRecognizer::Impl::openStream()
{
    struct Query {
        pa_threaded_mainloop* loop;
        std::string source;
        bool found = false;
        bool monitor = false;
    } query{loop, {}};
    auto await = [this](pa_operation* operation) {
        if (!operation)
            return;
        while (pa_operation_get_state(operation) == PA_OPERATION_RUNNING)
            pa_threaded_mainloop_wait(loop);
        pa_operation_unref(operation);
    };
    await(pa_context_get_server_info(
        context,
        [](pa_context*, const pa_server_info* info, void* userdata) {
            auto* q = static_cast<Query*>(userdata);
            if (info && info->default_source_name)
                q->source = info->default_source_name;
            signal(q->loop);
        },
        &query));
    if (!query.source.empty())
        await(pa_context_get_source_info_by_name(
            context, query.source.c_str(),
            [](pa_context*, const pa_source_info* info, int eol, void* userdata) {
                auto* q = static_cast<Query*>(userdata);
                if (info && eol == 0) {
                    q->found = true;
                    q->monitor = info->monitor_of_sink != PA_INVALID_INDEX;
                }
                if (eol != 0)
                    signal(q->loop);
            },
            &query));
    // A monitor plays back the desktop's own sound: never a microphone.
    if (!query.found || query.monitor)
        return pulseError(PA_ERR_NOENTITY);

    const pa_sample_spec spec{PA_SAMPLE_S16LE, uint32_t(KeyphraseSpotter::sampleRate), 1};
    record = pa_stream_new(context, "Wake phrase", &spec, nullptr);
    if (!record)
        return pulseError(pa_context_errno(context));
    pa_stream_set_state_callback(
        record,
        [](pa_stream* stream, void* userdata) {
            auto* self = static_cast<Impl*>(userdata);
            if (!PA_STREAM_IS_GOOD(pa_stream_get_state(stream)))
                self->fail();
            signal(self->loop);
        },
        this);
    pa_stream_set_read_callback(
        record,
        [](pa_stream* stream, size_t, void* userdata) {
            auto* self = static_cast<Impl*>(userdata);
            const void* data = nullptr;
            size_t bytes = 0;
            while (pa_stream_peek(stream, &data, &bytes) == 0 && bytes > 0) {
                if (data)
                    self->captured(static_cast<const int16_t*>(data), int(bytes / sizeof(int16_t)));
                pa_stream_drop(stream);
            }
        },
        this);
    pa_buffer_attr attributes;
    std::memset(&attributes, 0xff, sizeof attributes);
    attributes.fragsize = uint32_t(KeyphraseSpotter::sampleRate * kCaptureFragmentMs / 1000 * int(sizeof(int16_t)));
    if (pa_stream_connect_record(record, query.source.c_str(), &attributes, PA_STREAM_ADJUST_LATENCY) < 0)
        return pulseError(pa_context_errno(context));
    pa_stream_state_t state;
    while ((state = pa_stream_get_state(record)) != PA_STREAM_READY && PA_STREAM_IS_GOOD(state))
        pa_threaded_mainloop_wait(loop);
    if (state != PA_STREAM_READY)
        return pulseError(pa_context_errno(context));
    return {};
}

void PocketSphinxRecognizer::Impl::captured(const int16_t* samples, int count)
{
    if (reported)
        return;
    // Loaded here, on the recogniser's thread, so starting never waits for the model.
    if (!spotter) {
        spotter = KeyphraseSpotter::create(settings);
        if (!spotter) {
            fail();
            return;
        }
    }
    if (const std::optional<QString> hit = spotter->feed(samples, count)) {
        reported = true;
        if (onResult)
            onResult(*hit, false, false);
    }
}

void PocketSphinxRecognizer::Impl::fail()
{
    if (reported)
        return;
    reported = true;
    if (onResult)
        onResult(QString(), false, true);
}

void PocketSphinxRecognizer::stop()
{
    d->close();
}

void PocketSphinxRecognizer::Impl::close()
{
    if (loop && record) {
        pa_threaded_mainloop_lock(loop);
        pa_stream_set_read_callback(record, nullptr, nullptr);
        pa_stream_set_state_callback(record, nullptr, nullptr);
        pa_stream_disconnect(record);
        pa_stream_unref(record);
        record = nullptr;
        pa_threaded_mainloop_unlock(loop);
    }
    // Stopping the loop joins its thread: no callback runs after this.
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
    spotter.reset();
    onResult = nullptr;
}

SpeechRecognizerFactory pocketSphinxRecognizerFactory(QString acousticModel)
{
    return [acousticModel](const QString& locale) -> std::unique_ptr<SpeechRecognizer> {
        if (locale != QLatin1String("en-US"))
            return nullptr;
        return std::make_unique<PocketSphinxRecognizer>(acousticModel);
    };
}

} // namespace kestrabo
