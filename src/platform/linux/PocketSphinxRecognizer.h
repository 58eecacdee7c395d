#pragma once

#include "platform/SpeechRecognizer.h"

#include <QString>

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

namespace kestrabo {

// Spots one keyphrase in 16 kHz mono 16-bit audio with PocketSphinx. A cheap voice-activity
// gate keeps the decoder idle in quiet: frames reach it only while someone may be speaking,
// starting with the half second before the gate opened, so the start of the phrase is not lost.
// Not thread-safe: one thread feeds it.
class KeyphraseSpotter {
public:
    static constexpr int sampleRate = 16000;
    // From bench/wake_tuning.sh on the espeak-ng set at 10 dB SNR (detected, false accepts an
    // hour): phone loop 1e-5 with threshold 1e-30 93 %, 18; 1e-20 85 %, 5. Phone loop 1e-10
    // with 1e-20 100 %, 49; 1e-1 97 %, 17; 1e5 95 %, 12; 1e10 90 %, 6. Phone loop 1e-12 with
    // 1e10 97 %, 17; 1e20 95 %, 8. A false accept sends the room to the voice service; a miss
    // costs a second "Hey kestrabo".
    static constexpr double defaultThreshold = 1e20;
    // The "anything else" path's phone loop (PocketSphinx's default is 1e-1). Weaker, it lets
    // slow, quiet or unusual voices reach the keyphrase, and the threshold keeps other speech
    // out; the two are tuned together.
    static constexpr double defaultPhoneLoopProbability = 1e-12;

    struct Settings {
        QString acousticModel; // the model directory (mdef, means, …)
        QString keyphrase;     // lower-case words with known pronunciations
        double threshold = defaultThreshold;
        double phoneLoopProbability = defaultPhoneLoopProbability;
        bool gate = true;
    };

    // None when a word has no pronunciation or the decoder cannot load the model.
    static std::unique_ptr<KeyphraseSpotter> create(const Settings& settings);
    ~KeyphraseSpotter();

    // Feeds samples; returns the keyphrase when it ended within them. The search starts over
    // after a hit.
    std::optional<QString> feed(const int16_t* samples, int count);

    // Samples fed, and samples the decoder actually processed.
    long long samplesFed() const { return m_fed; }
    long long samplesDecoded() const { return m_decoded; }

    // "hey kestrabo" from "Hey kestrabo": lower-case words, letters only; empty when a word has
    // no pronunciation here.
    static QString keyphraseFor(const QString& hint);

private:
    struct Decoder;
    explicit KeyphraseSpotter(std::unique_ptr<Decoder> decoder, bool gate);
    void frame(const int16_t* samples);
    void decode(const int16_t* samples, int count);
    void closeGate();

    std::unique_ptr<Decoder> m_decoder;
    const bool m_gate;
    std::vector<int16_t> m_partial;   // an incomplete 10 ms frame
    std::vector<int16_t> m_preroll;   // ring of recent quiet frames
    size_t m_prerollStart = 0;
    size_t m_prerollFrames = 0;
    std::vector<int16_t> m_pending;   // open-gate samples to decode in one call
    double m_floorDb = 0;
    bool m_floorKnown = false;
    bool m_open = false;
    int m_quietFrames = 0;
    bool m_inUtterance = false;
    std::optional<QString> m_hit;
    long long m_fed = 0;
    long long m_decoded = 0;
};

// The wake phrase's recogniser on Linux: PocketSphinx keyphrase search over a 16 kHz mono
// capture stream of its own from the default PulseAudio source (never a sink's monitor). The
// stream's threaded main loop is the recogniser's thread: it captures, decodes and reports.
// Partial results carry the running hypothesis (the keyphrase once heard); a lost stream is an
// error. There is no final result: the task runs until stopped.
class PocketSphinxRecognizer final : public SpeechRecognizer {
public:
    explicit PocketSphinxRecognizer(QString acousticModel, double threshold = KeyphraseSpotter::defaultThreshold);
    ~PocketSphinxRecognizer() override;

    bool supportsOnDeviceRecognition() const override;
    bool isAvailable() override { return true; }
    Status start(const QStringList& contextualStrings, ResultHandler onResult) override;
    void stop() override;

    // The US English acoustic model of the system's PocketSphinx.
    static QString installedModel();

private:
    struct Impl;
    std::unique_ptr<Impl> d;
};

// Recognisers for "en-US" from `acousticModel`; none for other locales.
SpeechRecognizerFactory pocketSphinxRecognizerFactory(QString acousticModel = PocketSphinxRecognizer::installedModel());

} // namespace kestrabo
