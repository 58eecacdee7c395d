#pragma once

#include <QString>

#include <cstdint>
#include <vector>

namespace kestrabo::test {

// `text` spoken by espeak-ng as 16-bit mono samples at `rate`; empty when espeak-ng is missing.
// `speed` is in words per minute, `pitch` 0 to 99.
std::vector<int16_t> synthesize(const QString& text, const QString& voice = QStringLiteral("en-us"), int speed = 175,
                                int pitch = 50, int rate = 16000);

// The samples as little-endian bytes, as the sound tools take them.
QByteArray pcmBytes(const std::vector<int16_t>& samples);

} // namespace kestrabo::test
