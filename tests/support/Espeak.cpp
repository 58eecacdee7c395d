#include "support/Espeak.h"

#include "core/Resampler.h"

#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QtEndian>

#include <algorithm>

namespace kestrabo::test {

Speech espeak(const QString& text, const QString& voice, int speed, int pitch)
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
    Speech speech;
    speech.rate = int(qFromLittleEndian<quint32>(bytes.constData() + 24));
    for (qsizetype i = 44; i + 1 < bytes.size(); i += 2)
        speech.samples.push_back(float(qFromLittleEndian<qint16>(bytes.constData() + i)) / 32768.0f);
    return speech;
}

std::vector<float> resample(const std::vector<float>& input, int from, int to)
{
    auto converter = Resampler::create(from, to);
    std::vector<float> output(size_t(Resampler::capacity(int(input.size()), from, to)));
    const auto counts = converter.value()->process(input.data(), int(input.size()), output.data(), int(output.size()));
    output.resize(size_t(std::max(0, counts.produced)));
    return output;
}

} // namespace kestrabo::test
