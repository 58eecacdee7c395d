#pragma once

#include <QString>

#include <vector>

namespace kestrabo::test {

// `text` as espeak-ng says it: mono samples in [-1, 1] at espeak-ng's own rate, silence around
// the words included; empty without espeak-ng. `speed` in words per minute, `pitch` 0 to 99.
struct Speech {
    std::vector<float> samples;
    int rate = 0;
};
Speech espeak(const QString& text, const QString& voice = QStringLiteral("en-us"), int speed = 175, int pitch = 50);

std::vector<float> resample(const std::vector<float>& input, int from, int to);

} // namespace kestrabo::test
