#include "support/VirtualMicrophone.h"

#include "support/Espeak.h"

#include <algorithm>
#include <cmath>

namespace kestrabo::test {

std::vector<int16_t> synthesize(const QString& text, const QString& voice, int speed, int pitch)
{
    const Speech speech = espeak(text, voice, speed, pitch);
    if (speech.samples.empty())
        return {};
    const std::vector<float> output = resample(speech.samples, speech.rate, 16000);
    const int produced = int(output.size());
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
