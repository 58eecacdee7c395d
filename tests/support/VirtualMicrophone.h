#pragma once

#include "support/PulseDaemon.h"

#include <QStringList>

#include <vector>

namespace kestrabo::test {

// A private sound server whose default source is a real source (not a sink's monitor) that
// hears whatever `say` plays.
struct VirtualMicrophone {
    PulseDaemon daemon;

    // Empty on success, else what went wrong. Without `virtualSource` the default source stays
    // the monitor of the microphone's sink.
    QString start(bool virtualSource = true);

    // Plays the texts one after another (espeak-ng), each with a quarter second of silence
    // around it; returns where each one ends in ms from now, or nothing without espeak-ng.
    std::vector<int> say(const QStringList& texts, const QString& voice = QStringLiteral("en-us"));
};

} // namespace kestrabo::test
