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
    // From bench/wake_tuning.sh on two espeak-ng sets at 10 dB SNR, each 60 phrases, 62 minutes of
    // speech built to be confused with the phrase and 10 hours of ordinary speech; the second from
    // voices the settings were not first chosen on. Threshold 1e10 (detected; false accepts in
    // the confusable hour; in the ten ordinary hours): no second pass 58, 17, 22 and 54, 29, 27;
    // margin -34 alone 58, 1, 1 and 48, 12, 5; with the late second look, margin -36 and the
    // onset floor -62 58, 1, 0 and 53, 5, 3. A false accept sends the room to the voice service;
    // a miss costs a second "Hey kestrabo".
    static constexpr double defaultThreshold = 1e10;
    static constexpr double defaultMargin = -36;
    // The "anything else" path's phone loop (PocketSphinx's default is 1e-1). Weaker, it lets
    // slow, quiet or unusual voices reach the keyphrase; the threshold and the margin keep other
    // speech out. The three are tuned together.
    static constexpr double defaultPhoneLoopProbability = 1e-12;
    // Every second frame's scores: continuous speech costs 1.7 % of a core instead of 3.1 %, and
    // detection on the set does not drop.
    static constexpr int defaultDownsampling = 2;

    struct Settings {
        QString acousticModel; // the model directory (mdef, means, …)
        QString keyphrase;     // lower-case words with known pronunciations
        double threshold = defaultThreshold;
        double phoneLoopProbability = defaultPhoneLoopProbability;
        // Acoustic scores computed for every n-th frame only (the frames between reuse them).
        int downsampling = defaultDownsampling;
        bool gate = true;
        // The second pass's least score per frame; none reports every keyphrase hit.
        std::optional<double> margin = defaultMargin;
    };

    // One keyphrase hit of the search, re-scored by the second pass: the audio from just before
    // the hit's start to the hit force-aligned to the phrase, its words split into pieces.
    struct Candidate {
        QString phrase;
        int frames = 0;    // frames of the phrase's own words (silence around it left out)
        double score = 0;  // their acoustic score per frame, against the best senone of each frame
        double weakestWord = 0; // the same for the word that fits worst
        double nameOnset = 0;   // the same for the first piece of the last word ("K IH S")
        bool lateLook = false;  // a hit looked at again, its phrase not yet whole at the hit
        // A phrase with one word far off is another phrase ("hey" said nowhere near the name),
        // however well the rest fits.
        static constexpr double wordFloor = -55;
        // Other speech reaches the search mostly through the name's ending ("…s of Strabo",
        // "Castro") and fits its opening syllable badly. That syllable is short, so its own score
        // varies much, even for the phrase: it counts together with the whole phrase's score
        // (their sum must reach the floor), and a phrase that fits well overall may open less well.
        static constexpr double onsetFloor = -62;
        bool accepted(double margin, double floor = onsetFloor) const
        {
            return frames > 0 && score >= margin && weakestWord >= wordFloor && score + nameOnset >= floor;
        }
    };
    // The candidate the last feed() found, accepted or not.
    const std::optional<Candidate>& lastCandidate() const { return m_candidate; }

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
    void decodeFrame(const int16_t* samples, int count);
    void closeGate();
    // Second pass over the decoded audio from sample `from` (counted like m_decoded) to now.
    Candidate verify(const QString& phrase, long long from);
    void judge(const QString& phrase, long long from, bool late);

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
    std::optional<Candidate> m_candidate;
    std::optional<double> m_margin;
    std::vector<int16_t> m_history; // ring of the latest decoded samples, at m_decoded's count
    long long m_contiguousFrom = 0; // where the decoded audio last resumed after the gate closed
    bool m_afterGap = false;
    struct LateLook {
        QString phrase;
        long long from;
        long long due;
    };
    std::optional<LateLook> m_lateLook;
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
