#include "Scenario.h"

#include "core/Json.h"
#include "core/Resampler.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QProcess>
#include <QStringList>
#include <QTemporaryDir>
#include <QtEndian>

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

namespace kestrabo::sim {

namespace {

constexpr int kSampleRate = 24'000;
constexpr int kBytesPerMs = kSampleRate * 2 / 1000;
constexpr qint64 kMaxWavBytes = 64 * 1024 * 1024;

const QStringList kScenarioKeys = {QStringLiteral("description"), QStringLiteral("sendStarted"),
                                   QStringLiteral("closeReply"), QStringLiteral("usageSeconds"),
                                   QStringLiteral("rules")};
const QStringList kRuleKeys = {QStringLiteral("description"), QStringLiteral("on"),
                               QStringLiteral("contentContains"), QStringLiteral("once"),
                               QStringLiteral("steps")};
const QStringList kStepKeys = {
    QStringLiteral("send"),       QStringLiteral("sendBinary"), QStringLiteral("sendRaw"),
    QStringLiteral("delayMs"),    QStringLiteral("audio"),      QStringLiteral("transcript"),
    QStringLiteral("delegation"), QStringLiteral("usage"),      QStringLiteral("error"),
    QStringLiteral("close"),      QStringLiteral("stall"),      QStringLiteral("speak"),
    QStringLiteral("loop")};

KestraboError problem(const QString& text)
{
    return KestraboError::message(text);
}

QString quoted(const QString& text)
{
    return QLatin1Char('"') + text + QLatin1Char('"');
}

std::optional<QString> unknownKey(const QJsonObject& object, const QStringList& known)
{
    for (auto it = object.begin(); it != object.end(); ++it)
        if (!known.contains(it.key()))
            return it.key();
    return std::nullopt;
}

std::optional<qint64> wholeNumber(const QJsonValue& value, qint64 min, qint64 max)
{
    if (!value.isDouble())
        return std::nullopt;
    const double number = value.toDouble();
    if (!std::isfinite(number) || std::floor(number) != number || number < double(min)
        || number > double(max))
        return std::nullopt;
    return qint64(number);
}

bool nonNegativeNumber(const QJsonValue& value)
{
    return value.isDouble() && std::isfinite(value.toDouble()) && value.toDouble() >= 0;
}

Step textStep(const QJsonObject& event)
{
    const QByteArray payload = json::compact(event);
    return Step{Step::Kind::Text, payload, 0, payload.contains("$n")};
}

QJsonObject typed(const char* type)
{
    return QJsonObject{{QStringLiteral("type"), QString::fromLatin1(type)}};
}

Result<QList<Step>> transcriptSteps(const QJsonValue& value)
{
    if (!value.isObject())
        return problem(QStringLiteral("\"transcript\" must be an object with speaker and text"));
    const QJsonObject transcript = value.toObject();
    const QStringList keys = {QStringLiteral("speaker"), QStringLiteral("text"),
                              QStringLiteral("startMs"), QStringLiteral("endMs"),
                              QStringLiteral("eventId")};
    if (const auto key = unknownKey(transcript, keys))
        return problem(QStringLiteral("unknown transcript key %1 (known: %2)")
                           .arg(quoted(*key), keys.join(QStringLiteral(", "))));
    const auto speaker = json::string(transcript, u"speaker");
    if (speaker != u"user" && speaker != u"assistant")
        return problem(QStringLiteral("transcript \"speaker\" must be \"user\" or \"assistant\""));
    const auto text = json::string(transcript, u"text");
    if (!text)
        return problem(QStringLiteral("transcript \"text\" must be a string"));
    for (const char* key : {"startMs", "endMs"}) {
        const QJsonValue bound = transcript.value(QLatin1String(key));
        if (!bound.isUndefined() && !nonNegativeNumber(bound))
            return problem(QStringLiteral("transcript \"%1\" must be a number of 0 or more")
                               .arg(QLatin1String(key)));
    }
    const QJsonValue eventId = transcript.value(u"eventId");
    if (!eventId.isUndefined() && !eventId.isString())
        return problem(QStringLiteral("transcript \"eventId\" must be a string"));

    const double start = transcript.value(u"startMs").toDouble(0);
    QJsonObject event = typed(*speaker == u"user" ? "session.input_transcript.delta"
                                                  : "session.output_transcript.delta");
    event.insert(QStringLiteral("delta"), *text);
    event.insert(QStringLiteral("start_ms"), start);
    event.insert(QStringLiteral("end_ms"), transcript.value(u"endMs").toDouble(start));
    if (eventId.isString())
        event.insert(QStringLiteral("event_id"), eventId);
    return QList<Step>{textStep(event)};
}

Result<qint64> chunkLength(const QJsonObject& step)
{
    if (!step.contains(u"chunkMs"))
        return qint64(100);
    const auto value = wholeNumber(step.value(u"chunkMs"), 1, 60'000);
    if (!value)
        return problem(QStringLiteral("\"chunkMs\" must be a whole number from 1 to 60000"));
    return *value;
}

QList<Step> audioDeltas(const QByteArray& pcm, qint64 chunkMs)
{
    QList<Step> steps;
    const qsizetype chunkBytes = qsizetype(chunkMs) * kBytesPerMs;
    for (qsizetype offset = 0; offset < pcm.size(); offset += chunkBytes) {
        QJsonObject event = typed("session.output_audio.delta");
        event.insert(QStringLiteral("delta"), QString::fromLatin1(pcm.mid(offset, chunkBytes).toBase64()));
        steps.append(textStep(event));
    }
    return steps;
}

Result<QList<Step>> audioSteps(const QJsonObject& step, const QString& directory)
{
    const auto file = json::string(step, u"audio");
    if (!file || file->isEmpty())
        return problem(QStringLiteral("\"audio\" must be the path of a WAV file"));
    const Result<qint64> chunkMs = chunkLength(step);
    if (!chunkMs)
        return chunkMs.error();
    const QString path = QDir(directory.isEmpty() ? QDir::currentPath() : directory).filePath(*file);
    Result<QByteArray> pcm = readPcmWav(path);
    if (!pcm)
        return problem(QStringLiteral("audio %1: %2").arg(quoted(*file), pcm.error().description()));
    return audioDeltas(pcm.value(), chunkMs.value());
}

// The text as espeak-ng says it, converted to the service's audio format.
Result<QList<Step>> speakSteps(const QJsonObject& step)
{
    const auto text = json::string(step, u"speak");
    if (!text || text->trimmed().isEmpty())
        return problem(QStringLiteral("\"speak\" must be the text to say"));
    const Result<qint64> chunkMs = chunkLength(step);
    if (!chunkMs)
        return chunkMs.error();
    QTemporaryDir scratch;
    const QString path = scratch.filePath(QStringLiteral("speech.wav"));
    QProcess espeak;
    // It probes the sound server even when it writes a file.
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("PULSE_SERVER"), QStringLiteral("unix:/nonexistent"));
    espeak.setProcessEnvironment(environment);
    espeak.start(QStringLiteral("espeak-ng"), {QStringLiteral("-v"), QStringLiteral("en-us"), QStringLiteral("-w"), path, *text});
    if (!espeak.waitForFinished(30'000) || espeak.exitStatus() != QProcess::NormalExit || espeak.exitCode() != 0)
        return problem(QStringLiteral("speak: espeak-ng did not run (%1)").arg(espeak.errorString()));
    int rate = 0;
    const Result<QByteArray> spoken = readWav(path, &rate);
    if (!spoken)
        return problem(QStringLiteral("speak: %1").arg(spoken.error().description()));
    const QByteArray& bytes = spoken.value();
    std::vector<float> samples(size_t(bytes.size() / 2));
    for (size_t i = 0; i < samples.size(); ++i)
        samples[i] = float(qFromLittleEndian<qint16>(bytes.constData() + 2 * i)) / 32768.0f;
    auto converter = Resampler::create(rate, kSampleRate);
    if (!converter)
        return problem(QStringLiteral("speak: %1").arg(converter.error().description()));
    std::vector<float> output(size_t(Resampler::capacity(int(samples.size()), rate, kSampleRate)));
    const auto counts = converter.value()->process(samples.data(), int(samples.size()), output.data(), int(output.size()));
    QByteArray pcm(qsizetype(std::max(0, counts.produced)) * 2, Qt::Uninitialized);
    for (int i = 0; i < counts.produced; ++i)
        qToLittleEndian<qint16>(qint16(std::clamp(output[size_t(i)] * 32767.0f, -32768.0f, 32767.0f)), pcm.data() + 2 * i);
    return audioDeltas(pcm, chunkMs.value());
}

Result<QList<Step>> compileStep(const QJsonObject& step, const QString& directory)
{
    QStringList actions;
    for (auto it = step.begin(); it != step.end(); ++it) {
        if (kStepKeys.contains(it.key()))
            actions.append(it.key());
        else if (it.key() != u"chunkMs")
            return problem(QStringLiteral("unknown step %1 (known: %2)")
                               .arg(quoted(it.key()), kStepKeys.join(QStringLiteral(", "))));
    }
    if (actions.size() != 1)
        return problem(actions.isEmpty()
                           ? QStringLiteral("a step needs one action (%1)").arg(kStepKeys.join(QStringLiteral(", ")))
                           : QStringLiteral("a step holds one action, found %1")
                                 .arg(actions.join(QStringLiteral(" and "))));
    const QString action = actions.first();
    if (step.contains(u"chunkMs") && action != u"audio" && action != u"speak")
        return problem(QStringLiteral("\"chunkMs\" belongs to an \"audio\" or \"speak\" step"));
    const QJsonValue value = step.value(action);

    if (action == u"send" || action == u"sendBinary") {
        if (!value.isObject())
            return problem(QStringLiteral("%1 must be an event object").arg(quoted(action)));
        Step compiled = textStep(value.toObject());
        if (action == u"sendBinary")
            compiled.kind = Step::Kind::Binary;
        return QList<Step>{compiled};
    }
    if (action == u"sendRaw") {
        if (!value.isString())
            return problem(QStringLiteral("\"sendRaw\" must be a string"));
        const QByteArray raw = value.toString().toUtf8();
        return QList<Step>{Step{Step::Kind::Text, raw, 0, raw.contains("$n")}};
    }
    if (action == u"delayMs") {
        const auto ms = wholeNumber(value, 0, 3'600'000);
        if (!ms)
            return problem(QStringLiteral("\"delayMs\" must be a whole number from 0 to 3600000"));
        return QList<Step>{Step{Step::Kind::Delay, {}, int(*ms)}};
    }
    if (action == u"audio")
        return audioSteps(step, directory);
    if (action == u"speak")
        return speakSteps(step);
    if (action == u"transcript")
        return transcriptSteps(value);
    if (action == u"delegation" || action == u"error") {
        if (!value.isObject())
            return problem(QStringLiteral("%1 must be an object").arg(quoted(action)));
        QJsonObject event = typed(action == u"error" ? "error" : "session.delegation.created");
        event.insert(action, value);
        return QList<Step>{textStep(event)};
    }
    if (action == u"usage") {
        if (!nonNegativeNumber(value))
            return problem(QStringLiteral("\"usage\" must be a number of seconds, 0 or more"));
        QJsonObject event = typed("session.usage.updated");
        event.insert(QStringLiteral("usage"), QJsonObject{{QStringLiteral("seconds"), value}});
        return QList<Step>{textStep(event)};
    }
    if (action == u"close") {
        const auto code = wholeNumber(value, 1000, 4999);
        if (!code)
            return problem(QStringLiteral("\"close\" must be a close code from 1000 to 4999"));
        return QList<Step>{Step{Step::Kind::Close, {}, int(*code)}};
    }
    if (!value.isBool() || !value.toBool())
        return problem(QStringLiteral("%1 must be true").arg(quoted(action)));
    return QList<Step>{Step{action == u"loop" ? Step::Kind::Loop : Step::Kind::Stall, {}, 0}};
}

Result<Rule> compileRule(const QJsonObject& object, const QString& directory, const QString& where)
{
    if (const auto key = unknownKey(object, kRuleKeys))
        return problem(QStringLiteral("%1: unknown key %2 (known: %3)")
                           .arg(where, quoted(*key), kRuleKeys.join(QStringLiteral(", "))));
    Rule rule;
    const auto on = json::string(object, u"on");
    if (!on || on->isEmpty())
        return problem(QStringLiteral("%1: \"on\" must be \"connect\" or a client event type").arg(where));
    rule.on = *on;
    if (object.contains(u"contentContains")) {
        rule.contentContains = json::string(object, u"contentContains");
        if (!rule.contentContains)
            return problem(QStringLiteral("%1: \"contentContains\" must be a string").arg(where));
    }
    if (object.contains(u"once")) {
        const auto once = json::boolean(object, u"once");
        if (!once)
            return problem(QStringLiteral("%1: \"once\" must be true or false").arg(where));
        rule.once = *once;
    }
    const auto steps = json::array(object, u"steps");
    if (!steps)
        return problem(QStringLiteral("%1: \"steps\" must be an array").arg(where));
    for (qsizetype i = 0; i < steps->size(); ++i) {
        const QString stepWhere = QStringLiteral("%1, step %2").arg(where).arg(i + 1);
        if (!steps->at(i).isObject())
            return problem(QStringLiteral("%1 must be an object").arg(stepWhere));
        Result<QList<Step>> compiled = compileStep(steps->at(i).toObject(), directory);
        if (!compiled)
            return problem(QStringLiteral("%1: %2").arg(stepWhere, compiled.error().description()));
        const bool loop = compiled.value().first().kind == Step::Kind::Loop;
        if (loop && i + 1 != steps->size())
            return problem(QStringLiteral("%1: \"loop\" must be the last step").arg(stepWhere));
        if (loop && std::none_of(rule.steps.begin(), rule.steps.end(),
                                 [](const Step& s) { return s.kind == Step::Kind::Delay && s.value > 0; }))
            return problem(QStringLiteral("%1: a loop needs a \"delayMs\" of 1 or more before it").arg(stepWhere));
        rule.steps.append(compiled.value());
    }
    return rule;
}

} // namespace

Result<Scenario> compileScenario(const QJsonObject& object, const QString& directory)
{
    if (const auto key = unknownKey(object, kScenarioKeys))
        return problem(QStringLiteral("unknown scenario key %1 (known: %2)")
                           .arg(quoted(*key), kScenarioKeys.join(QStringLiteral(", "))));
    Scenario scenario;
    using Flag = std::pair<QStringView, bool*>;
    for (const auto& [key, target] : {Flag{u"sendStarted", &scenario.sendStarted},
                                      Flag{u"closeReply", &scenario.closeReply}}) {
        if (!object.contains(key))
            continue;
        const auto flag = json::boolean(object, key);
        if (!flag)
            return problem(QStringLiteral("\"%1\" must be true or false").arg(key));
        *target = *flag;
    }
    if (object.contains(u"usageSeconds")) {
        if (!nonNegativeNumber(object.value(u"usageSeconds")))
            return problem(QStringLiteral("\"usageSeconds\" must be a number of 0 or more"));
        scenario.usageSeconds = object.value(u"usageSeconds").toDouble();
    }
    if (object.contains(u"rules")) {
        const auto rules = json::array(object, u"rules");
        if (!rules)
            return problem(QStringLiteral("\"rules\" must be an array"));
        for (qsizetype i = 0; i < rules->size(); ++i) {
            const QString where = QStringLiteral("rule %1").arg(i + 1);
            if (!rules->at(i).isObject())
                return problem(QStringLiteral("%1 must be an object").arg(where));
            Result<Rule> rule = compileRule(rules->at(i).toObject(), directory, where);
            if (!rule)
                return rule.error();
            scenario.rules.append(rule.value());
        }
    }
    return scenario;
}

Result<QByteArray> readPcmWav(const QString& path)
{
    int rate = 0;
    Result<QByteArray> pcm = readWav(path, &rate);
    if (pcm && rate != kSampleRate)
        return problem(QStringLiteral("must be 16-bit PCM, mono, 24000 Hz; it is 16-bit, 1 channel(s), %1 Hz").arg(rate));
    return pcm;
}

Result<QByteArray> readWav(const QString& path, int* rate)
{
    QFile file(path);
    if (!QFileInfo(path).isFile())
        return problem(QStringLiteral("no such file %1").arg(quoted(QDir::toNativeSeparators(path))));
    if (file.size() > kMaxWavBytes)
        return problem(QStringLiteral("larger than %1 bytes").arg(kMaxWavBytes));
    if (!file.open(QIODevice::ReadOnly))
        return problem(QStringLiteral("cannot be read (%1)").arg(file.errorString()));
    const QByteArray data = file.readAll();
    if (data.size() < 12 || !data.startsWith("RIFF") || data.mid(8, 4) != "WAVE")
        return problem(QStringLiteral("not a WAV file"));

    const auto u16 = [&data](qsizetype at) { return qFromLittleEndian<quint16>(data.constData() + at); };
    const auto u32 = [&data](qsizetype at) { return qFromLittleEndian<quint32>(data.constData() + at); };
    bool haveFormat = false;
    qint64 position = 12;
    while (position + 8 <= data.size()) {
        const QByteArray id = data.mid(position, 4);
        const qint64 declared = u32(position + 4);
        const qint64 body = position + 8;
        const qint64 available = std::min<qint64>(declared, data.size() - body);
        if (id == "fmt ") {
            if (available < 16)
                return problem(QStringLiteral("has a truncated format chunk"));
            quint16 format = u16(body);
            if (format == 0xFFFE && available >= 26)
                format = u16(body + 24); // extensible: the sub-format's leading tag
            const int channels = u16(body + 2);
            const qint64 found = u32(body + 4);
            const int bits = u16(body + 14);
            if (format != 1 || channels != 1 || found < 8'000 || found > 192'000 || bits != 16)
                return problem(QStringLiteral("must be 16-bit PCM, mono, 24000 Hz; it is %1%2-bit, "
                                              "%3 channel(s), %4 Hz")
                                   .arg(format == 1 ? QString() : QStringLiteral("non-PCM, "))
                                   .arg(bits)
                                   .arg(channels)
                                   .arg(found));
            *rate = int(found);
            haveFormat = true;
        } else if (id == "data") {
            if (!haveFormat)
                return problem(QStringLiteral("has audio data before its format chunk"));
            // Streamed writers leave the size open; take what the file holds, whole samples only.
            return data.mid(body, available - available % 2);
        }
        position = body + declared + (declared & 1);
    }
    return problem(haveFormat ? QStringLiteral("has no data chunk")
                              : QStringLiteral("has no format chunk"));
}

} // namespace kestrabo::sim
