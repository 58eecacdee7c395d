// Wake phrase: detection, false accepts, cost and latency of the keyphrase spotter.
//
//   bench_wake_phrase --build DIR [--corpus FORTUNES_DIR [--hours H]] [--held-out 1|2|3] [--snr DB]
//                                            synthesises the evaluation set into DIR
//   bench_wake_phrase --evaluate DIR [--thresholds 1e-20,1e-30,…] [--ungated THRESHOLD] [--phrases-only]
//                     [--phone-loop PROBABILITY] [--margins none,-35,…] [--onset-floors none,-62,…]
//                     [--downsampling N] [--candidates] [--piece-ms MS]
//   bench_wake_phrase --live                 the whole recogniser on a private sound server
//
// The set (espeak-ng, or flite and festival with --held-out 3; 16 kHz mono):
// - positives.raw: "Hey kestrabo" between an ordinary sentence and a question, in 10 voices (8
//   with --held-out 3) × 3 speeds × 2 pitches, 1.5 s apart, under continuous pink noise at 10 dB
//   SNR (--snr; speech normalised to -26 dBFS active level, noise at -36 dBFS); positives.txt
//   holds where each phrase starts and ends.
// - negatives.raw: at least 62 minutes of other speech under the same noise: ordinary
//   paragraphs with "hey", "hey there", "kestrel", "Castro", "Strabo" and other names, half
//   of it from a second list of sentences.
// - quiet.raw: 10 minutes of a quiet room (noise at -70 dBFS) with a short sentence every 40 s.
// - ordinary.raw (with --corpus): H hours (10 by default) of ordinary speech, the entries of fortune
//   files read in turning voices under the same noise. The confusable set above holds mostly
//   sentences built to be mistaken for the phrase; this is what a room usually hears. Its false
//   accepts are counted on their own (FA.ord).
//
// Evaluation feeds each stream in 50 ms pieces (--piece-ms: a capture stream delivers 5 to 50 ms
// and more, and the verdicts must not depend on it) to one spotter per threshold, which re-scores
// every hit of its search; each margin ("none": every hit wakes) then accepts some of those
// candidates. A hit from the start of a phrase to 1.5 s
// after its end detects it; any other hit is a false accept. Latency is from the end of the
// phrase to the end of the piece whose feed reported it, plus the time that feed took (the
// second pass runs in it). CPU is the feeding thread's CPU time over the audio's duration.
// --candidates lists every candidate with its scores, for choosing margins.
//
// Live: the recogniser with its capture stream on a private PulseAudio server with a virtual
// microphone. The wall-clock delay from the end of "Hey kestrabo" (played into the microphone
// in five voices) to the recogniser's report, which includes the sound server's buffering; then
// CPU of this process over 30 s of silence (capture, gate, nothing decoded).
//
// bench/wake_tuning.sh builds the set in a temporary directory, evaluates it niced and removes it.

#include "platform/linux/PocketSphinxRecognizer.h"
#include "support/VirtualMicrophone.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThread>

#include <QDir>
#include <QFile>
#include <QStringList>
#include <QProcess>
#include <QTemporaryDir>
#include <QTextStream>

#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <limits>
#include <optional>
#include <random>
#include <vector>

using namespace kestrabo;

namespace {

constexpr int kRate = KeyphraseSpotter::sampleRate;
constexpr double kSpeechDb = -26.0;
// Pink noise under every stream but the quiet one: 10 dB below the speech unless --snr says otherwise.
double noiseDb = kSpeechDb - 10.0;
// Samples per feed: 50 ms unless --piece-ms says otherwise.
int kPieceSamples = kRate / 20;

// The set's voices, speeds, pitches and random draws. --held-out 1 and 2 build other sets from
// other voices and draws, to check that settings chosen on the first do not merely fit it (and
// the second, once it has helped choose them, is no longer held out). --held-out 3 speaks with
// other synthesisers, whose voices are made from recordings of people rather than from rules.
struct Voicing {
    // espeak-ng voices, or "flite:VOICE" and "festival:VOICE".
    std::vector<const char*> voices;
    // Three and two. For espeak-ng, words a minute and its pitch (0-99); for the other
    // synthesisers, per cent of the voice's own speed and a shift in cents.
    std::vector<int> speeds, pitches;
    unsigned seed;
};
const Voicing kTuningSet{{"en-us", "en-gb", "en-gb-scotland", "en-gb-x-gbclan", "en-gb-x-rp", "en-gb-x-gbcwmd", "en-029",
                          "en-us-nyc", "en-us+f3", "en-gb+f2"},
                         {130, 175, 220},
                         {35, 65},
                         0};
const Voicing kHeldOutSet{{"en-us+m3", "en-gb+f4", "en-gb-scotland+m5", "en-us-nyc+f1", "en-gb-x-rp+m7", "en-029+m2",
                           "en-gb-x-gbclan+f5", "en-gb-x-gbcwmd+m4", "en-us+klatt", "en-gb+m1"},
                          {145, 190, 210},
                          {45, 60},
                          101};
const Voicing kSecondHeldOutSet{{"en-gb-scotland+f2", "en-us+m6", "en-gb-x-rp+f1", "en-029+f4", "en-us-nyc+m5", "en-gb+m2",
                                 "en-gb-x-gbclan+m3", "en-gb-x-gbcwmd+f3", "en-us+m1", "en-gb+klatt"},
                                {135, 165, 200},
                                {40, 70},
                                202};
const Voicing kOtherSynthesisersSet{{"flite:kal16", "flite:awb", "flite:rms", "flite:slt", "flite:kal",
                                    "festival:ked_diphone", "festival:kal_diphone", "festival:cmu_us_slt_arctic_hts"},
                                   {80, 100, 125},
                                   {-100, 100},
                                   303};
const Voicing* voicing = &kTuningSet;

const char* const kBefore[] = {"I was just thinking about dinner.", "The meeting ran late again.",
                               "Okay, that should do it.", "Let me see.", "It is raining outside.",
                               "I finished the report."};
const char* const kAfter[] = {"what time is it?", "can you open my mail?", "what is on my screen?",
                              "remind me to call Anna.", "how long is the drive home?", "read that to me."};

const char* const kSentences[] = {
    "Hey, how are you doing today?",
    "Hey there, long time no see.",
    "The kestrel hovered above the field before it dropped into the grass.",
    "Hey Castro, grab the ball and throw it over here.",
    "Strabo wrote a long book about geography.",
    "Hey, did you see the kestrel on the fence?",
    "We drove to Castro Valley to see my aunt Petra.",
    "Hey Trevor, the bus is about to leave.",
    "Kesha and Estrada played a set at the festival.",
    "The orchestra tuned up while the audience found their seats.",
    "Please pass the salt and the pepper.",
    "I think the train leaves at a quarter past seven.",
    "Hey Barbara, can you bring the chairs inside?",
    "My brother bought a new bicycle last spring.",
    "The weather report says it will be sunny tomorrow.",
    "Hey, stop that, you are going to break it.",
    "She put the kettle on and made a pot of tea.",
    "The castle stood on a hill above the river.",
    "Hey bro, what is up?",
    "Christopher and Kristina are coming over for dinner.",
    "A kestrel is a small falcon that hunts mice.",
    "Hey, kiss the bride!",
    "The stray cat sleeps on our porch every night.",
    "Hey there, are you coming to the party on Saturday?",
    "We need eggs, milk, bread and a bag of potatoes.",
    "The children played in the park until it got dark.",
    "Hey Costa, the coffee machine is broken again.",
    "Please remember to water the plants while I am away.",
    "The committee will vote on the proposal next week.",
    "He told a long story about his trip to Toronto.",
    "Hey, could you turn the music down a little?",
    "Restaurants in this street close early on Sundays.",
    "The dog barked at the mailman, then wagged its tail.",
    "Hey Kasper, your keys are on the table.",
    "I would rather take the stairs than wait for the elevator.",
    "Hey there, Estella, nice to meet you.",
    "The boat drifted slowly toward the shore.",
    "Throttle back a little, the road is wet.",
    "Hey, what a beautiful morning.",
    "The library is open until eight in the evening.",
};

// Ordinary paragraphs for the second half hour of other speech.
const char* const kMoreSentences[] = {
    "Hey, are we still on for lunch tomorrow?",
    "The kestrels nest in the old church tower every spring.",
    "Hey Estelle, did you get my message about the tickets?",
    "Fidel Castro gave very long speeches.",
    "She studied the maps of Strabo and Ptolemy at the museum.",
    "Hey there, could you help me carry these boxes upstairs?",
    "Our neighbour Christabel grows tomatoes in her back garden.",
    "The cab driver took a shortcut across the bridge.",
    "Hey Gustavo, the printer is out of paper again.",
    "Please close the window before you leave, it is cold.",
    "The guest list includes Oscar, Rebecca and Esteban.",
    "Hey, look at that, the rain has finally stopped.",
    "I bought a cheap stereo at the flea market last weekend.",
    "The restaurant on the corner serves excellent pasta.",
    "Hey you, wait for me at the station.",
    "My sister works as a nurse at the hospital downtown.",
    "The kettle whistled while we set the table for breakfast.",
    "Hey Kristof, bring your guitar to the party.",
    "The train was delayed by almost an hour this morning.",
    "A cold front will bring snow to the mountains tonight.",
    "Hey Tessa, your cousin called while you were out.",
    "Cast your vote before the polls close at eight.",
    "The baby finally fell asleep after a long walk.",
    "Hey, that is my seat, I was sitting there.",
    "He keeps a notebook full of sketches and ideas.",
    "We watched the fireworks from the roof of the building.",
    "Hey Carlos, is the store still open?",
    "The professor explained the theory with a simple drawing.",
    "Extra batteries are in the drawer next to the sink.",
    "Hey Mister Robles, your package arrived this morning.",
};

void append(std::vector<int16_t>& stream, const std::vector<int16_t>& samples)
{
    stream.insert(stream.end(), samples.begin(), samples.end());
}

void silence(std::vector<int16_t>& stream, int ms)
{
    stream.insert(stream.end(), size_t(kRate / 1000 * ms), 0);
}

// Scales speech so that its active frames (above -50 dBFS) average `db`.
std::vector<int16_t> normalised(std::vector<int16_t> speech, double db)
{
    double sum = 0;
    long long count = 0;
    for (size_t start = 0; start + 160 <= speech.size(); start += 160) {
        double frame = 0;
        for (size_t i = start; i < start + 160; ++i)
            frame += double(speech[i]) * speech[i];
        if (10 * std::log10(frame / 160 / (32768.0 * 32768.0) + 1e-12) > -50) {
            sum += frame;
            count += 160;
        }
    }
    if (count == 0)
        return speech;
    const double gain = std::pow(10.0, db / 20) * 32768.0 / std::sqrt(sum / double(count));
    for (int16_t& sample : speech)
        sample = int16_t(std::clamp(std::lround(sample * gain), -32768L, 32767L));
    return speech;
}

// Pink noise (Paul Kellet's filter) at `db` RMS added over the whole stream.
void addNoise(std::vector<int16_t>& stream, double db, unsigned seed)
{
    std::mt19937 random(seed);
    std::normal_distribution<double> white(0.0, 1.0);
    std::vector<double> noise(stream.size());
    double b0 = 0, b1 = 0, b2 = 0, sum = 0;
    for (double& value : noise) {
        const double w = white(random);
        b0 = 0.99765 * b0 + w * 0.0990460;
        b1 = 0.96300 * b1 + w * 0.2965164;
        b2 = 0.57000 * b2 + w * 1.0526913;
        value = b0 + b1 + b2 + w * 0.1848;
        sum += value * value;
    }
    const double gain = std::pow(10.0, db / 20) * 32768.0 / std::sqrt(sum / double(noise.size()));
    for (size_t i = 0; i < stream.size(); ++i)
        stream[i] = int16_t(std::clamp(std::lround(stream[i] + noise[i] * gain), -32768L, 32767L));
}

bool save(const QString& path, const std::vector<int16_t>& samples)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly)
           && file.write(reinterpret_cast<const char*>(samples.data()), qint64(samples.size() * 2))
                  == qint64(samples.size() * 2);
}

// Raw 16-bit samples in the machine's order, as the set's files and sox's output hold them.
std::vector<int16_t> samplesOf(const QByteArray& bytes)
{
    std::vector<int16_t> samples(size_t(bytes.size() / 2));
    std::memcpy(samples.data(), bytes.constData(), samples.size() * 2);
    return samples;
}

std::vector<int16_t> load(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return samplesOf(file.readAll());
}

// `text` in one of the set's voices, as 16 kHz mono samples from the first sound to the last;
// empty when the synthesiser fails.
std::vector<int16_t> speak(const QString& text, const QString& voice, int speed, int pitch)
{
    const QString engine = voice.section(QLatin1Char(':'), 0, 0);
    if (engine == voice)
        return test::synthesize(text, voice, speed, pitch);
    QTemporaryDir directory;
    const QString input = directory.filePath(QStringLiteral("text.txt"));
    const QString wave = directory.filePath(QStringLiteral("speech.wav"));
    QFile textFile(input);
    if (!textFile.open(QIODevice::WriteOnly) || textFile.write(text.toUtf8()) < 0)
        return {};
    textFile.close();
    const QString name = voice.section(QLatin1Char(':'), 1);
    // Empty, with the reason on stderr, unless the program ran and succeeded.
    const auto run = [](const QString& program, const QStringList& arguments) -> std::optional<QByteArray> {
        QProcess process;
        process.start(program, arguments);
        if (!process.waitForStarted()) {
            std::fprintf(stderr, "%s is not installed\n", qPrintable(program));
            return std::nullopt;
        }
        if (!process.waitForFinished(120'000) || process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0) {
            std::fprintf(stderr, "%s failed: %s\n", qPrintable(program),
                         process.readAllStandardError().trimmed().right(300).constData());
            return std::nullopt;
        }
        return process.readAllStandardOutput();
    };
    const bool flite = engine == QLatin1String("flite");
    if (!run(flite ? QStringLiteral("flite") : QStringLiteral("text2wave"),
             flite ? QStringList{QStringLiteral("-voice"), name, QStringLiteral("-f"), input, QStringLiteral("-o"), wave}
                   : QStringList{QStringLiteral("-eval"), QStringLiteral("(voice_%1)").arg(name), QStringLiteral("-o"), wave, input}))
        return {};
    // Speed and pitch alike for every voice (HTS voices ignore festival's duration stretch), then
    // the silence around the speech trimmed as for espeak-ng. Repeatable: sox dithers with a
    // random seed otherwise, and the set would differ from one build to the next.
    const std::optional<QByteArray> converted =
        run(QStringLiteral("sox"),
            {QStringLiteral("-R"), wave, QStringLiteral("-t"), QStringLiteral("raw"), QStringLiteral("-e"), QStringLiteral("signed-integer"),
             QStringLiteral("-b"), QStringLiteral("16"), QStringLiteral("-c"), QStringLiteral("1"), QStringLiteral("-"),
             QStringLiteral("tempo"), QString::number(speed / 100.0), QStringLiteral("pitch"), QString::number(pitch),
             QStringLiteral("rate"), QString::number(kRate), QStringLiteral("silence"), QStringLiteral("1"),
             QStringLiteral("1s"), QStringLiteral("0.3%"), QStringLiteral("reverse"), QStringLiteral("silence"),
             QStringLiteral("1"), QStringLiteral("1s"), QStringLiteral("0.3%"), QStringLiteral("reverse")});
    return converted ? samplesOf(*converted) : std::vector<int16_t>{};
}

// Paragraph number `paragraph` of a stream, in the set's turning voices, speeds and pitches;
// empty, with a message, when the synthesiser fails.
std::vector<int16_t> paragraphSpeech(const QString& text, qsizetype paragraph)
{
    const char* voice = voicing->voices[size_t(paragraph) % voicing->voices.size()];
    auto speech = normalised(speak(text, QLatin1String(voice), voicing->speeds[size_t(paragraph % 3)],
                                   voicing->pitches[size_t((paragraph / 3) % 2)]),
                             kSpeechDb);
    if (speech.empty())
        std::fprintf(stderr, "speech failed for voice %s: %s\n", voice, qPrintable(text.left(100)));
    return speech;
}

// Ordinary text for hours of other speech: the entries of fortune files (a line holding only
// "%" ends each), attributions dropped, entries with symbols a speaker would not say left out.
QStringList corpusEntries(const QString& directory)
{
    QStringList entries;
    const QStringList files = QDir(directory).entryList(QDir::Files, QDir::Name);
    for (const QString& name : files) {
        if (name.contains(QLatin1Char('.')) || name == QLatin1String("art") || name == QLatin1String("ascii-art"))
            continue; // indexes, and pictures drawn in characters
        QFile file(directory + QLatin1Char('/') + name);
        if (!file.open(QIODevice::ReadOnly))
            continue;
        QStringList lines;
        const auto flush = [&] {
            const QString entry = lines.join(QLatin1Char(' ')).simplified();
            lines.clear();
            static const QString punctuation = QStringLiteral(".,;:!?'\"-()");
            const qsizetype plain = std::count_if(entry.begin(), entry.end(), [](QChar c) {
                return c.isLetter() || c.isSpace() || punctuation.contains(c);
            });
            if (entry.size() >= 30 && entry.size() <= 600 && plain >= entry.size() * 98 / 100)
                entries.append(entry);
        };
        for (const QString& line : QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'))) {
            if (line.trimmed() == QLatin1String("%"))
                flush();
            else if (!line.trimmed().startsWith(QLatin1String("--")))
                lines.append(line);
        }
        flush();
    }
    return entries;
}

// `hours` of paragraphs from the corpus in turning voices, speeds and pitches, under the same noise.
int buildOrdinary(const QString& directory, const QString& corpus, double hours)
{
    QStringList entries = corpusEntries(corpus);
    if (entries.size() < 100) {
        std::fprintf(stderr, "no usable text in %s\n", qPrintable(corpus));
        return 1;
    }
    std::mt19937 random(23 + voicing->seed);
    std::shuffle(entries.begin(), entries.end(), random);
    std::vector<int16_t> ordinary;
    const size_t wanted = size_t(hours * 3600 * kRate);
    qsizetype failed = 0;
    for (qsizetype next = 0, paragraph = 0; ordinary.size() < wanted; ++paragraph) {
        QString text;
        while (text.size() < 400)
            text += entries[next++ % entries.size()] + QLatin1Char(' ');
        const auto speech = paragraphSpeech(text, paragraph);
        // A synthesiser may trip over some odd entry: leave that paragraph out, unless it fails often.
        if (speech.empty() && ++failed > paragraph / 100 + 3)
            return 1;
        append(ordinary, speech);
        silence(ordinary, 400);
    }
    addNoise(ordinary, noiseDb, 4 + voicing->seed);
    if (!save(directory + QStringLiteral("/ordinary.raw"), ordinary))
        return 1;
    std::printf("built: %.1f h of ordinary speech from %lld entries (%lld paragraphs left out)\n",
                double(ordinary.size()) / kRate / 3600, static_cast<long long>(entries.size()),
                static_cast<long long>(failed));
    return 0;
}

int build(const QString& directory)
{
    QDir().mkpath(directory);
    // Positives.
    std::vector<int16_t> positives;
    QString marks;
    int clip = 0;
    for (const char* voice : voicing->voices) {
        for (int speed : voicing->speeds) {
            for (int pitch : voicing->pitches) {
                const auto part = [&](const QString& text) {
                    return normalised(speak(text, QLatin1String(voice), speed, pitch), kSpeechDb);
                };
                const auto before = part(QLatin1String(kBefore[(clip + voicing->seed) % std::size(kBefore)]));
                const auto phrase = part(QStringLiteral("Hey kestrabo,"));
                const auto after = part(QLatin1String(kAfter[((clip + voicing->seed) / 2) % std::size(kAfter)]));
                if (before.empty() || phrase.empty() || after.empty()) {
                    std::fprintf(stderr, "speech failed for voice %s\n", voice);
                    return 1;
                }
                silence(positives, 1500);
                append(positives, before);
                silence(positives, 200);
                marks += QStringLiteral("%1 %2 %3 %4 %5\n")
                             .arg(positives.size())
                             .arg(positives.size() + phrase.size())
                             .arg(QLatin1String(voice))
                             .arg(speed)
                             .arg(pitch);
                append(positives, phrase);
                silence(positives, 100);
                append(positives, after);
                ++clip;
            }
        }
    }
    silence(positives, 1500);
    addNoise(positives, noiseDb, 1 + voicing->seed);
    QFile marksFile(directory + QStringLiteral("/positives.txt"));
    if (!save(directory + QStringLiteral("/positives.raw"), positives) || !marksFile.open(QIODevice::WriteOnly))
        return 1;
    marksFile.write(marks.toUtf8());

    // Negatives: paragraphs of five sentences in turning voices, 31 minutes from each list.
    std::vector<int16_t> negatives;
    std::mt19937 random(17 + voicing->seed);
    for (int paragraph = 0; negatives.size() < size_t(kRate) * 60 * 62; ++paragraph) {
        const bool second = negatives.size() >= size_t(kRate) * 60 * 31;
        QStringList sentences;
        for (int i = 0; i < 5; ++i) {
            sentences.append(QLatin1String(second ? kMoreSentences[random() % std::size(kMoreSentences)]
                                                  : kSentences[random() % std::size(kSentences)]));
        }
        const auto speech = paragraphSpeech(sentences.join(QLatin1Char(' ')), paragraph);
        if (speech.empty())
            return 1;
        append(negatives, speech);
        silence(negatives, 400);
    }
    addNoise(negatives, noiseDb, 2 + voicing->seed);
    if (!save(directory + QStringLiteral("/negatives.raw"), negatives))
        return 1;

    // Mostly quiet: a short sentence every 40 seconds in a quiet room.
    std::vector<int16_t> quiet;
    for (int i = 0; quiet.size() < size_t(kRate) * 600; ++i) {
        silence(quiet, 38'000);
        append(quiet, normalised(test::synthesize(QLatin1String(kSentences[i % std::size(kSentences)])), kSpeechDb));
    }
    addNoise(quiet, -70.0, 3 + voicing->seed);
    if (!save(directory + QStringLiteral("/quiet.raw"), quiet))
        return 1;
    std::printf("built: %d positives, %.1f min of other speech, %.1f min mostly quiet\n", clip,
                double(negatives.size()) / kRate / 60, double(quiet.size()) / kRate / 60);
    return 0;
}

double threadSeconds()
{
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return double(now.tv_sec) + double(now.tv_nsec) / 1e9;
}

struct Hit {
    long long at;        // sample position (end of the piece whose feed reported it)
    double seconds;      // time that feed took
    KeyphraseSpotter::Candidate candidate;
};

struct Run {
    std::vector<Hit> hits;
    double cpuSeconds = 0;
    long long decoded = 0;
};

Run feed(KeyphraseSpotter& spotter, const std::vector<int16_t>& stream)
{
    Run run;
    for (size_t offset = 0; offset < stream.size(); offset += kPieceSamples) {
        const int count = int(std::min(stream.size() - offset, size_t(kPieceSamples)));
        const double before = threadSeconds();
        spotter.feed(stream.data() + offset, count);
        const double spent = threadSeconds() - before;
        run.cpuSeconds += spent;
        if (spotter.lastCandidate())
            run.hits.push_back({static_cast<long long>(offset) + count, spent, *spotter.lastCandidate()});
    }
    run.decoded = spotter.samplesDecoded();
    return run;
}

int evaluate(const QString& directory, const QStringList& thresholds, const QString& ungated, bool phrasesOnly,
             double phoneLoop, const QStringList& margins, const QStringList& onsetFloors, int downsampling,
             bool candidates)
{
    const auto positives = load(directory + QStringLiteral("/positives.raw"));
    // A quick look at detection alone leaves out the long streams.
    const auto negatives = phrasesOnly ? std::vector<int16_t>(kRate) : load(directory + QStringLiteral("/negatives.raw"));
    const auto quiet = phrasesOnly ? std::vector<int16_t>(kRate) : load(directory + QStringLiteral("/quiet.raw"));
    const auto ordinary = phrasesOnly ? std::vector<int16_t>() : load(directory + QStringLiteral("/ordinary.raw"));
    QFile marksFile(directory + QStringLiteral("/positives.txt"));
    if (positives.empty() || negatives.empty() || quiet.empty() || !marksFile.open(QIODevice::ReadOnly)) {
        std::fprintf(stderr, "no evaluation set in %s (build it with --build)\n", qPrintable(directory));
        return 1;
    }
    struct Mark {
        long long start, end;
        QString label;
    };
    std::vector<Mark> marks;
    for (const QString& line : QString::fromUtf8(marksFile.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts)) {
        const QStringList f = line.split(QLatin1Char(' '));
        marks.push_back({f[0].toLongLong(), f[1].toLongLong(), f.mid(2).join(QLatin1Char(' '))});
    }
    const double negativeHours = double(negatives.size()) / kRate / 3600;
    const double positiveHours = double(positives.size()) / kRate / 3600;
    const double ordinaryHours = double(ordinary.size()) / kRate / 3600;
    std::printf("set: %zu phrases, %.1f min confusable speech, %.1f min mostly quiet, %.1f h ordinary speech; phone loop "
                "%g; frames scored 1 in %d\n",
                marks.size(), negativeHours * 60, double(quiet.size()) / kRate / 60, ordinaryHours, phoneLoop,
                downsampling);
    // FA counts hits outside the phrases in the phrase, confusable and quiet streams; its rate is over
    // their hours. FA.ord and its rate are the ordinary speech's alone.
    std::printf("%-10s %-6s %-7s %-6s %9s %6s %8s %6s %8s %8s %8s %9s %9s %8s\n", "threshold", "gate", "margin",
                "onset", "detected",
                "FA", "FA/hour", "FA.ord", "ord/hour", "lat.mean", "lat.max", "cpu.speech", "cpu.quiet", "decoded");

    QList<QPair<QString, bool>> runs;
    for (const QString& threshold : thresholds)
        runs.append({threshold, true});
    if (!ungated.isEmpty())
        runs.append({ungated, false});
    for (const auto& [threshold, gate] : runs) {
        const KeyphraseSpotter::Settings settings{.acousticModel = PocketSphinxRecognizer::installedModel(),
                                                  .keyphrase = QStringLiteral("hey kestrabo"),
                                                  .threshold = threshold.toDouble(),
                                                  .phoneLoopProbability = phoneLoop,
                                                  .downsampling = downsampling,
                                                  .gate = gate,
                                                  .margin = -std::numeric_limits<double>::infinity()};
        auto spotter = KeyphraseSpotter::create(settings);
        if (!spotter) {
            std::fprintf(stderr, "the spotter did not start (model missing?)\n");
            return 1;
        }
        const Run positive = feed(*spotter, positives);
        auto negativeSpotter = KeyphraseSpotter::create(settings);
        const Run negative = feed(*negativeSpotter, negatives);
        auto quietSpotter = KeyphraseSpotter::create(settings);
        const Run quietRun = feed(*quietSpotter, quiet);
        auto ordinarySpotter = KeyphraseSpotter::create(settings);
        const Run ordinaryRun = feed(*ordinarySpotter, ordinary);
        const double hours = negativeHours + positiveHours + double(quiet.size()) / kRate / 3600;
        if (candidates) {
            const auto dump = [&](const char* label, const Hit& hit) {
                std::printf("candidate %s %.2f s: %d frames, %.1f per frame, weakest word %.1f, name onset %.1f%s\n",
                            label, double(hit.at) / kRate, hit.candidate.frames, hit.candidate.score,
                            hit.candidate.weakestWord, hit.candidate.nameOnset,
                            hit.candidate.lateLook ? " (late look)" : "");
            };
            for (const Hit& hit : positive.hits) {
                const bool phrase = std::any_of(marks.begin(), marks.end(), [&](const Mark& mark) {
                    return hit.at >= mark.start && hit.at <= mark.end + kRate * 3 / 2;
                });
                dump(phrase ? "phrase" : "other", hit);
            }
            for (const Hit& hit : negative.hits)
                dump("other", hit);
            for (const Hit& hit : quietRun.hits)
                dump("quiet", hit);
            for (const Hit& hit : ordinaryRun.hits)
                dump("ordinary", hit);
        }
        // Every margin sees the same candidates: the search starts over after each, accepted or not.
        QList<QPair<QString, QString>> rules;
        for (const QString& marginText : margins) {
            for (const QString& floorText : onsetFloors) {
                if (marginText != QLatin1String("none") || rules.isEmpty() || rules.last().first != marginText)
                    rules.append({marginText, marginText == QLatin1String("none") ? QStringLiteral("-") : floorText});
            }
        }
        for (const auto& [marginText, floorText] : rules) {
            const bool none = marginText == QLatin1String("none");
            const double margin = marginText.toDouble();
            const double nameFloor = floorText == QLatin1String("none") ? -std::numeric_limits<double>::infinity()
                                                                       : floorText.toDouble();
            // "none" takes the search's own hits, not the second pass's later looks at them.
            const auto accepted = [&](const Hit& hit) {
                return none ? !hit.candidate.lateLook : hit.candidate.accepted(margin, nameFloor);
            };
            int detected = 0, falseAccepts = 0;
            std::vector<double> latencies;
            QStringList missed;
            std::vector<bool> found(marks.size(), false);
            for (const Hit& hit : positive.hits) {
                if (!accepted(hit))
                    continue;
                bool inWindow = false;
                for (size_t i = 0; i < marks.size(); ++i) {
                    if (hit.at >= marks[i].start && hit.at <= marks[i].end + kRate * 3 / 2) {
                        inWindow = true;
                        if (!found[i]) {
                            found[i] = true;
                            ++detected;
                            latencies.push_back(double(hit.at - marks[i].end) * 1000.0 / kRate + hit.seconds * 1000);
                        }
                    }
                }
                falseAccepts += !inWindow;
            }
            for (size_t i = 0; i < marks.size(); ++i) {
                if (!found[i])
                    missed.append(marks[i].label);
            }
            falseAccepts += int(std::count_if(negative.hits.begin(), negative.hits.end(), accepted))
                            + int(std::count_if(quietRun.hits.begin(), quietRun.hits.end(), accepted));
            const int ordinaryAccepts = int(std::count_if(ordinaryRun.hits.begin(), ordinaryRun.hits.end(), accepted));
            double mean = 0, worst = 0;
            for (double latency : latencies) {
                mean += latency / double(latencies.size());
                worst = std::max(worst, latency);
            }
            std::printf("%-10s %-6s %-7s %-6s %4d/%-4zu %6d %8.2f %6d %8.2f %6.0fms %6.0fms %8.2f%% %8.3f%% %7.1f%%\n",
                        qPrintable(threshold), gate ? "on" : "off", qPrintable(marginText), qPrintable(floorText),
                        detected, marks.size(),
                        falseAccepts, falseAccepts / hours, ordinaryAccepts,
                        ordinaryHours > 0 ? ordinaryAccepts / ordinaryHours : 0.0, mean, worst,
                        100.0 * (negative.cpuSeconds + ordinaryRun.cpuSeconds)
                            / (double(negatives.size() + ordinary.size()) / kRate),
                        100.0 * quietRun.cpuSeconds / (double(quiet.size()) / kRate),
                        100.0 * double(quietRun.decoded) / double(quiet.size()));
            if (!missed.isEmpty())
                std::printf("  missed: %s\n", qPrintable(missed.join(QStringLiteral(", "))));
        }
        std::fflush(stdout);
    }
    return 0;
}

double processSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec)
           + double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

int live()
{
    test::VirtualMicrophone microphone;
    if (const QString error = microphone.start(); !error.isEmpty()) {
        std::fprintf(stderr, "sound server: %s\n", qPrintable(error));
        return 1;
    }
    QElapsedTimer clock;
    clock.start();
    std::atomic<long long> heardAt{-1};
    PocketSphinxRecognizer recognizer(PocketSphinxRecognizer::installedModel());
    const auto listen = [&] {
        heardAt = -1;
        return bool(recognizer.start({QStringLiteral("Hey kestrabo")}, [&](const QString&, bool, bool error) {
            if (!error)
                heardAt = clock.elapsed();
        }));
    };
    // The phrases first: once the second source below exists, the test server's microphone no
    // longer reaches the recogniser.
    for (const char* voice : {"en-us", "en-gb", "en-us-nyc", "en-gb-x-rp", "en-gb-scotland"}) {
        if (!listen())
            return 1;
        QThread::msleep(500);
        const long long fed = clock.elapsed();
        const std::vector<int> ends = microphone.say({QStringLiteral("Hey kestrabo")}, QLatin1String(voice));
        if (ends.empty())
            return 1;
        const long long phraseEnd = fed + ends[0] - 250;
        while (heardAt < 0 && clock.elapsed() < phraseEnd + 3'000)
            QThread::msleep(5);
        if (heardAt < 0)
            std::printf("live: %-15s not heard\n", voice);
        else
            std::printf("live: %-15s heard %lld ms after the phrase ended\n", voice, heardAt - phraseEnd);
        recognizer.stop();
    }
    // The test server's microphone delivers 5 ms blocks (its sink is kept at 20 ms latency); a
    // second one kept at 100 ms delivers about 15 ms blocks, nearer what a real source does
    // with the 50 ms the stream asks for.
    const auto pactl = [&](const QString& line) {
        return microphone.daemon.run(QStringLiteral("pactl"), line.split(QLatin1Char(' ')));
    };
    pactl(QStringLiteral("load-module module-null-sink sink_name=slowsink rate=16000 channels=1"));
    microphone.daemon.spawn(QStringLiteral("pacat"),
                            QStringLiteral("-p --latency-msec=100 --format=s16le --rate=16000 --channels=1 -d slowsink "
                                           "/dev/zero")
                                .split(QLatin1Char(' ')));
    pactl(QStringLiteral("load-module module-remap-source master=slowsink.monitor source_name=slowmic"));
    for (const char* source : {"wakemic", "slowmic"}) {
        pactl(QStringLiteral("set-default-source ") + QLatin1String(source));
        if (!listen())
            return 1;
        QThread::msleep(2'000); // the model loads
        const double before = processSeconds();
        QThread::msleep(30'000);
        std::printf("live: CPU in silence from %s: %.3f%% of one core\n", source,
                    100.0 * (processSeconds() - before) / 30.0);
        recognizer.stop();
    }
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    const QStringList arguments = [&] {
        QStringList list;
        for (int i = 1; i < argc; ++i)
            list.append(QString::fromLocal8Bit(argv[i]));
        return list;
    }();
    const auto option = [&](const QString& name) {
        const qsizetype at = arguments.indexOf(name);
        return at >= 0 && at + 1 < arguments.size() ? arguments[at + 1] : QString();
    };
    QCoreApplication application(argc, argv);
    if (arguments.contains(QStringLiteral("--live")))
        return live();
    if (!option(QStringLiteral("--build")).isEmpty()) {
        const QString directory = option(QStringLiteral("--build"));
        if (!option(QStringLiteral("--snr")).isEmpty())
            noiseDb = kSpeechDb - option(QStringLiteral("--snr")).toDouble();
        if (arguments.contains(QStringLiteral("--held-out")))
            voicing = option(QStringLiteral("--held-out")) == QLatin1String("3")   ? &kOtherSynthesisersSet
                      : option(QStringLiteral("--held-out")) == QLatin1String("2") ? &kSecondHeldOutSet
                                                                                   : &kHeldOutSet;
        if (const int built = build(directory); built != 0)
            return built;
        const QString corpus = option(QStringLiteral("--corpus"));
        return corpus.isEmpty() ? 0 : buildOrdinary(directory, corpus, option(QStringLiteral("--hours")).isEmpty()
                                                                              ? 10.0
                                                                              : option(QStringLiteral("--hours")).toDouble());
    }
    if (!option(QStringLiteral("--evaluate")).isEmpty()) {
        if (const int ms = option(QStringLiteral("--piece-ms")).toInt(); ms > 0)
            kPieceSamples = kRate / 1000 * ms;
        QString thresholds = option(QStringLiteral("--thresholds"));
        if (thresholds.isEmpty())
            thresholds = QString::number(KeyphraseSpotter::defaultThreshold);
        QString margins = option(QStringLiteral("--margins"));
        if (margins.isEmpty())
            margins = QStringLiteral("none,") + QString::number(KeyphraseSpotter::defaultMargin);
        return evaluate(option(QStringLiteral("--evaluate")), thresholds.split(QLatin1Char(',')),
                        option(QStringLiteral("--ungated")), arguments.contains(QStringLiteral("--phrases-only")),
                        option(QStringLiteral("--phone-loop")).isEmpty()
                            ? KeyphraseSpotter::defaultPhoneLoopProbability
                            : option(QStringLiteral("--phone-loop")).toDouble(),
                        margins.split(QLatin1Char(',')),
                        option(QStringLiteral("--onset-floors")).isEmpty()
                            ? QStringList{QString::number(KeyphraseSpotter::Candidate::onsetFloor)}
                            : option(QStringLiteral("--onset-floors")).split(QLatin1Char(',')),
                        option(QStringLiteral("--downsampling")).isEmpty()
                            ? KeyphraseSpotter::defaultDownsampling
                            : option(QStringLiteral("--downsampling")).toInt(),
                        arguments.contains(QStringLiteral("--candidates")));
    }
    std::fprintf(stderr, "usage: %s --build DIR [--corpus DIR [--hours H]] [--held-out 1|2|3] [--snr DB] | --evaluate DIR [--thresholds T1,T2,…] [--ungated T] [--phrases-only] "
                         "[--phone-loop P] [--margins M1,M2,…] [--onset-floors F1,F2,…] [--downsampling N] [--candidates] [--piece-ms MS] | --live\n",
                 argv[0]);
    return 2;
}
