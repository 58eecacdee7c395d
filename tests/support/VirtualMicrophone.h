#pragma once

#include "support/PulseDaemon.h"

#include <QStringList>

#include <cstdint>
#include <vector>

namespace kestrabo::test {

// `text` spoken by espeak-ng as 16 kHz mono samples, from the first sound to the last; empty
// without espeak-ng. `speed` in words
// per minute, `pitch` 0 to 99.
std::vector<int16_t> synthesize(const QString& text, const QString& voice = QStringLiteral("en-us"), int speed = 175,
                                int pitch = 50);

// A private sound server whose default source is a real source (not a sink's monitor) that
// hears whatever `say` plays.
struct VirtualMicrophone {
    PulseDaemon daemon;

    // Empty on success. Without `virtualSource` the default source becomes the sink's monitor.
    QString start(bool virtualSource = true);
    // Plays the texts one after another, each with a quarter second of silence around it;
    // returns where each one ends in ms from now, or nothing without espeak-ng.
    std::vector<int> say(const QStringList& texts, const QString& voice = QStringLiteral("en-us"));
};

} // namespace kestrabo::test
