#include "support/VirtualMicrophone.h"

#include "core/Resampler.h"

#include <QFile>
#include <QTemporaryDir>
#include <QtEndian>

#include <algorithm>
#include <cmath>

namespace kestrabo::test {

std::vector<int16_t> synthesize(const QString& text, const QString& voice, int speed, int pitch)
{
    QTemporaryDir directory;
    const QString path = directory.filePath(QStringLiteral("speech.wav"));
    QProcess espeak;
    // espeak-ng probes the sound server even when writing a file; point it nowhere.
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("PULSE_SERVER"), QStringLiteral("unix:/nonexistent"));
    espeak.setProcessEnvironment(environment);
    espeak.start(QStringLiteral("espeak-ng"), {QStringLiteral("-v"), voice, QStringLiteral("-s"), QString::number(speed),
                                               QStringLiteral("-p"), QString::number(pitch), QStringLiteral("-w"), path, text});
    QFile file(path);
    if (!espeak.waitForFinished(30'000) || !file.open(QIODevice::ReadOnly))
        return {};
    // A plain 44-byte header (the rate at byte 24), then 16-bit mono.
    const QByteArray bytes = file.readAll();
    if (bytes.size() <= 44)
        return {};
    const int rate = int(qFromLittleEndian<quint32>(bytes.constData() + 24));
    std::vector<float> input;
    for (qsizetype i = 44; i + 1 < bytes.size(); i += 2)
        input.push_back(float(qFromLittleEndian<qint16>(bytes.constData() + i)) / 32768.0f);
    auto converter = Resampler::create(rate, 16000);
    std::vector<float> output(size_t(Resampler::capacity(int(input.size()), rate, 16000)));
    const int produced = converter.value()->process(input.data(), int(input.size()), output.data(), int(output.size())).produced;
    // Without the silence espeak-ng leaves around the speech, so its ends are the words' ends.
    int first = 0, last = produced;
    while (first < last && std::abs(output[size_t(first)]) < 0.003f)
        ++first;
    while (last > first && std::abs(output[size_t(last - 1)]) < 0.003f)
        --last;
    std::vector<int16_t> samples;
    for (int i = first; i < last; ++i)
        samples.push_back(int16_t(std::lround(std::clamp(output[size_t(i)], -1.0f, 1.0f) * 32767.0f)));
    return samples;
}

QString VirtualMicrophone::start(bool virtualSource)
{
    // The daemon's default source is already a virtual microphone over its microphone sink.
    if (QString error = daemon.start(); !error.isEmpty() || virtualSource)
        return error;
    return daemon.run(QStringLiteral("pactl"), {QStringLiteral("set-default-source"), QStringLiteral("micsink.monitor")})
        ? QString()
        : QStringLiteral("the monitor could not become the default source");
}

std::vector<int> VirtualMicrophone::say(const QStringList& texts, const QString& voice)
{
    std::vector<int16_t> samples;
    std::vector<int> ends;
    for (const QString& text : texts) {
        const std::vector<int16_t> speech = synthesize(text, voice);
        if (speech.empty())
            return {};
        samples.insert(samples.end(), 4000, 0);
        samples.insert(samples.end(), speech.begin(), speech.end());
        samples.insert(samples.end(), 4000, 0);
        ends.push_back(int(samples.size() / 16));
    }
    daemon.feedMicrophone(QByteArray(reinterpret_cast<const char*>(samples.data()), qsizetype(samples.size() * 2)));
    return ends;
}

} // namespace kestrabo::test
