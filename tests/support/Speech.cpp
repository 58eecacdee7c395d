#include "support/Speech.h"

#include "core/Resampler.h"

#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <algorithm>
#include <cmath>

namespace kestrabo::test {

std::vector<int16_t> synthesize(const QString& text, const QString& voice, int speed, int pitch, int rate)
{
    QTemporaryDir directory;
    const QString path = directory.filePath(QStringLiteral("speech.wav"));
    QProcess espeak;
    // espeak-ng probes the sound server even when writing a file; point it nowhere.
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("PULSE_SERVER"), QStringLiteral("unix:/nonexistent"));
    espeak.setProcessEnvironment(environment);
    espeak.start(QStringLiteral("espeak-ng"), {QStringLiteral("-v"), voice, QStringLiteral("-s"), QString::number(speed),
                                               QStringLiteral("-p"), QString::number(pitch), QStringLiteral("-w"), path,
                                               text});
    if (!espeak.waitForFinished(30'000) || espeak.exitCode() != 0)
        return {};
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    // A plain 44-byte header, 16-bit mono; the rate sits at byte 24.
    const QByteArray bytes = file.readAll();
    if (bytes.size() < 44)
        return {};
    const auto byte = [&](qsizetype i) { return uint32_t(uint8_t(bytes[i])); };
    const int sourceRate = int(byte(24) | byte(25) << 8 | byte(26) << 16 | byte(27) << 24);
    std::vector<float> input;
    for (qsizetype i = 44; i + 1 < bytes.size(); i += 2)
        input.push_back(float(int16_t(byte(i) | byte(i + 1) << 8)) / 32768.0f);
    auto converter = Resampler::create(sourceRate, rate);
    if (!converter || input.empty())
        return {};
    std::vector<float> output(size_t(Resampler::capacity(int(input.size()), sourceRate, rate)));
    const auto counts = converter.value()->process(input.data(), int(input.size()), output.data(), int(output.size()));
    std::vector<int16_t> samples;
    for (int i = 0; i < counts.produced; ++i)
        samples.push_back(int16_t(std::lround(std::clamp(output[size_t(i)], -1.0f, 1.0f) * 32767.0f)));
    return samples;
}

QByteArray pcmBytes(const std::vector<int16_t>& samples)
{
    QByteArray bytes;
    bytes.reserve(qsizetype(samples.size() * 2));
    for (int16_t sample : samples) {
        bytes.append(char(uint16_t(sample) & 0xff));
        bytes.append(char(uint16_t(sample) >> 8));
    }
    return bytes;
}

} // namespace kestrabo::test
