#include "platform/linux/PocketSphinxRecognizer.h"

#include "platform/linux/PulseConnection.h"

#include <pocketsphinx.h>
#include <sphinxbase/cmn.h>
#include <sphinxbase/feat.h>
#include <sphinxbase/fsg_model.h>

#include <QFileInfo>
#include <QRegularExpression>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

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

// The same words in pieces for the second pass, so that a confusable word that matches only
// part of the name ("Castro" lacks its AA B) scores badly in the piece it lacks.
constexpr Pronunciation kPieces[] = {
    {"hey", "HH EY"},
    {"kestrabo.1", "K IH S"},
    {"kestrabo.2", "T R AA"},
    {"kestrabo.3", "B OW"},
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
// The second pass looks back from the hit over the phrase's length plus this: the search reports
// a hit 100-150 ms after the phrase ended, so the audio starts about 200 ms before the phrase.
constexpr int kVerifyPadFrames = 35;
constexpr int kHistorySamples = KeyphraseSpotter::sampleRate * 5 / 2; // the slowest phrase and more
// A slow voice can set the search off before the name's last vowel: the phrase then cannot be
// aligned to the end of the audio, and the second pass looks again this much later.
constexpr int kLateLookFrames = 20;
constexpr double kOpenAboveFloorDb = 9.0;
constexpr double kQuietestVoiceDb = -60.0;
constexpr double kFloorRiseDbPerFrame = 0.02;                     // 2 dB a second
// Capture pieces of 50 ms: few wake-ups a second, and a short wait after the phrase.
constexpr int kCaptureFragmentMs = 50;

double energyDb(const int16_t* samples)
{
    double sum = 0;
    for (int i = 0; i < kFrameSamples; ++i)
        sum += double(samples[i]) * samples[i];
    return 10.0 * std::log10(sum / kFrameSamples / (32768.0 * 32768.0) + 1e-12);
}

// The second pass's search: the pieces in order, one state after another. Built directly
// rather than from a JSGF text, whose parser leaks on every decoder (the listener makes a new
// one at each renewal).
bool addAlignment(ps_decoder_t* ps, cmd_ln_t* config, const std::vector<const char*>& pieces)
{
    fsg_model_t* fsg = fsg_model_init("align", ps_get_logmath(ps), cmd_ln_float32_r(config, "-lw"),
                                      int32(pieces.size() + 1));
    fsg->start_state = 0;
    fsg->final_state = int32(pieces.size());
    for (size_t i = 0; i < pieces.size(); ++i)
        fsg_model_trans_add(fsg, int32(i), int32(i + 1), 0, fsg_model_word_add(fsg, pieces[i]));
    const bool added = ps_set_fsg(ps, "align", fsg) >= 0;
    fsg_model_free(fsg); // the search keeps its own reference
    return added;
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
    const QByteArray phoneLoop = QByteArray::number(settings.phoneLoopProbability, 'g', 6);
    // The words are added below, so the decoder starts with an empty dictionary (fast to load).
    const QByteArray downsampling = QByteArray::number(settings.downsampling);
    decoder->config = cmd_ln_init(nullptr, ps_args(), TRUE, "-hmm", model.c_str(), "-dict", "/dev/null",
                                  "-kws_threshold", threshold.constData(), "-kws_plp", phoneLoop.constData(), "-ds",
                                  downsampling.constData(), "-logfn", "/dev/null", nullptr);
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
    std::vector<const char*> pieces;
    for (const QString& word : words) {
        for (const Pronunciation& piece : kPieces) {
            const QString name = QString::fromLatin1(piece.word);
            if (name == word || name.startsWith(word + QLatin1Char('.'))) {
                if (name != word && ps_add_word(decoder->ps, piece.word, piece.phones, FALSE) < 0)
                    return nullptr;
                pieces.push_back(piece.word);
            }
        }
    }
    if (ps_set_keyphrase(decoder->ps, "wake", settings.keyphrase.toUtf8().constData()) < 0
        || !addAlignment(decoder->ps, decoder->config, pieces) || ps_set_search(decoder->ps, "wake") < 0)
        return nullptr;
    auto spotter = std::unique_ptr<KeyphraseSpotter>(new KeyphraseSpotter(std::move(decoder), settings.gate));
    spotter->m_margin = settings.margin;
    return spotter;
}

KeyphraseSpotter::KeyphraseSpotter(std::unique_ptr<Decoder> decoder, bool gate)
    : m_decoder(std::move(decoder)), m_gate(gate), m_preroll(size_t(kPrerollFrames) * kFrameSamples),
      m_history(size_t(kHistorySamples))
{
    m_partial.reserve(kFrameSamples);
}

KeyphraseSpotter::~KeyphraseSpotter() = default;

std::optional<QString> KeyphraseSpotter::feed(const int16_t* samples, int count)
{
    m_fed += count;
    m_hit.reset();
    m_candidate.reset();
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
    // Frame by frame, asking for a hit after each: the hit, and so the second pass's window,
    // then falls on the same frame however the capture stream happens to cut its pieces.
    for (int offset = 0; offset < count; offset += kFrameSamples)
        decodeFrame(samples + offset, std::min(kFrameSamples, count - offset));
}

void KeyphraseSpotter::decodeFrame(const int16_t* samples, int count)
{
    ps_decoder_t* ps = m_decoder->ps;
    if (!m_inUtterance) {
        ps_start_utt(ps);
        m_inUtterance = true;
        if (m_afterGap) {
            m_contiguousFrom = m_decoded;
            m_afterGap = false;
        }
    }
    for (int i = 0; i < count; ++i)
        m_history[size_t((m_decoded + i) % kHistorySamples)] = samples[i];
    ps_process_raw(ps, samples, size_t(count), FALSE, FALSE);
    m_decoded += count;
    const char* hypothesis = ps_get_hyp(ps, nullptr);
    if (!hypothesis || !*hypothesis) {
        if (m_lateLook && m_decoded >= m_lateLook->due) {
            ps_end_utt(ps);
            m_inUtterance = false;
            judge(m_lateLook->phrase, m_lateLook->from, true);
            m_lateLook.reset();
        }
        return;
    }
    const QString phrase = QString::fromUtf8(hypothesis);
    // Only the hit's length is of use: the search numbers frames from an earlier utterance.
    int startFrame = 0, endFrame = 0;
    if (ps_seg_t* segment = ps_seg_iter(ps)) {
        ps_seg_frames(segment, &startFrame, &endFrame);
        ps_seg_free(segment);
    }
    ps_end_utt(ps);
    m_inUtterance = false;
    m_lateLook.reset();
    if (!m_margin) {
        m_hit = phrase;
        return;
    }
    // From a little before the hit's start.
    judge(phrase, m_decoded - (long long)(endFrame - startFrame + 1 + kVerifyPadFrames) * kFrameSamples, false);
}

void KeyphraseSpotter::judge(const QString& phrase, long long from, bool late)
{
    m_candidate = verify(phrase, from);
    m_candidate->lateLook = late;
    if (m_candidate->accepted(*m_margin))
        m_hit = phrase;
    else if (!late && m_candidate->frames == 0)
        m_lateLook = LateLook{phrase, from, m_decoded + (long long)kLateLookFrames * kFrameSamples};
}

KeyphraseSpotter::Candidate KeyphraseSpotter::verify(const QString& phrase, long long from)
{
    Candidate candidate{.phrase = phrase};
    ps_decoder_t* ps = m_decoder->ps;
    from = std::clamp(from, std::max(m_contiguousFrom, m_decoded - kHistorySamples), m_decoded);
    std::vector<int16_t> clip;
    clip.reserve(size_t(m_decoded - from));
    for (long long i = from; i < m_decoded; ++i)
        clip.push_back(m_history[size_t(i % kHistorySamples)]);

    // The same decoder, so the model is loaded once; the search starts over after a hit anyway.
    // The pass starts from the normalisation the search had, and the search gets it back: a
    // verdict must not depend on the candidates before it, nor a candidate change what the search
    // hears next.
    cmn_t* normalisation = ps_get_feat(ps)->cmn_struct;
    std::vector<mfcc_t> mean(size_t(normalisation->veclen));
    cmn_live_get(normalisation, mean.data());
    ps_set_search(ps, "align");
    ps_start_utt(ps);
    ps_process_raw(ps, clip.data(), clip.size(), FALSE, FALSE);
    ps_end_utt(ps);
    const char* aligned = ps_get_hyp(ps, nullptr);
    if (aligned && *aligned) {
        double total = 0;
        QString word;
        int wordFrames = 0;
        double wordTotal = 0;
        const auto endWord = [&] {
            if (wordFrames > 0) {
                const double score = wordTotal / wordFrames;
                candidate.weakestWord = candidate.frames == wordFrames ? score : std::min(candidate.weakestWord, score);
            }
            wordFrames = 0;
            wordTotal = 0;
        };
        for (ps_seg_t* segment = ps_seg_iter(ps); segment; segment = ps_seg_next(segment)) {
            const QString piece = QString::fromUtf8(ps_seg_word(segment));
            if (piece.startsWith(QLatin1Char('<')) || piece.startsWith(QLatin1Char('['))) // silence, noise
                continue;
            int start = 0, end = 0;
            ps_seg_frames(segment, &start, &end);
            int32 acoustic = 0, language = 0, backoff = 0;
            ps_seg_prob(segment, &acoustic, &language, &backoff);
            if (const QString pieceOf = piece.section(QLatin1Char('.'), 0, 0); pieceOf != word) {
                endWord();
                word = pieceOf;
                candidate.nameOnset = double(acoustic) / (end - start + 1);
            }
            wordFrames += end - start + 1;
            wordTotal += acoustic;
            candidate.frames += end - start + 1;
            total += acoustic;
        }
        endWord();
        if (candidate.frames > 0)
            candidate.score = total / candidate.frames;
    }
    cmn_live_set(normalisation, mean.data());
    ps_set_search(ps, "wake");
    return candidate;
}

void KeyphraseSpotter::closeGate()
{
    m_open = false;
    m_quietFrames = 0;
    m_afterGap = true;
    m_lateLook.reset();
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
    std::unique_ptr<PulseConnection> connection;

    // Loop thread, or the main thread holding the loop lock.
    pa_stream* record = nullptr;
    ResultHandler onResult;
    KeyphraseSpotter::Settings settings;
    std::unique_ptr<KeyphraseSpotter> spotter;
    bool reported = false; // an error or the keyphrase: the task has nothing more to say

    Status openStream(const PulseConnection::Defaults& defaults);
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
    d->connection = std::make_unique<PulseConnection>();
    Status started = d->connection->open("Kestrabo wake phrase");
    if (started) {
        const PulseConnection::Defaults defaults = d->connection->defaults();
        pa_threaded_mainloop_lock(d->connection->loop);
        started = d->openStream(defaults);
        pa_threaded_mainloop_unlock(d->connection->loop);
    }
    if (!started)
        stop();
    return started;
}

// Call with the lock held.
Status PocketSphinxRecognizer::Impl::openStream(const PulseConnection::Defaults& defaults)
{
    if (!defaults.haveMicrophone())
        return pulseError(PA_ERR_NOENTITY);

    pa_context* context = connection->context;
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
            PulseConnection::signal(self->connection->loop);
        },
        this);
    pa_stream_set_read_callback(
        record,
        [](pa_stream* stream, size_t, void* userdata) {
            auto* self = static_cast<Impl*>(userdata);
            PulseConnection::drain(stream, [self](const void* data, size_t bytes) {
                self->captured(static_cast<const int16_t*>(data), int(bytes / sizeof(int16_t)));
            });
        },
        this);
    pa_buffer_attr attributes;
    std::memset(&attributes, 0xff, sizeof attributes);
    attributes.fragsize = uint32_t(KeyphraseSpotter::sampleRate * kCaptureFragmentMs / 1000 * int(sizeof(int16_t)));
    if (pa_stream_connect_record(record, defaults.sourceName.c_str(), &attributes, PA_STREAM_ADJUST_LATENCY) < 0)
        return pulseError(pa_context_errno(context));
    if (!connection->wait([this] { return pa_stream_get_state(record) != PA_STREAM_CREATING; }))
        return pulseError(PA_ERR_TIMEOUT);
    if (pa_stream_get_state(record) != PA_STREAM_READY)
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
    if (connection && record) {
        pa_threaded_mainloop_lock(connection->loop);
        pa_stream_set_read_callback(record, nullptr, nullptr);
        pa_stream_set_state_callback(record, nullptr, nullptr);
        pa_stream_disconnect(record);
        pa_stream_unref(record);
        record = nullptr;
        pa_threaded_mainloop_unlock(connection->loop);
    }
    // Closing joins the loop's thread: no callback runs after this.
    connection.reset();
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
