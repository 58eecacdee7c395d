#pragma once

#include "core/Result.h"

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QString>

#include <optional>

// A scenario turned into frames ready to go out. Everything that can be wrong with a scenario
// (a typo in a step, an unreadable WAV) is found here, before the server listens.
namespace kestrabo::sim {

struct Step {
    enum class Kind { Text, Binary, Delay, Close, Stall, Loop };
    Kind kind = Kind::Text;
    QByteArray payload; // frame bytes of Text and Binary
    int value = 0;      // milliseconds of a Delay, code of a Close
    bool numbered = false; // the payload holds "$n", the pass of a looping sequence
};

struct Rule {
    QString on; // "connect" or a client event type
    std::optional<QString> contentContains;
    bool once = false;
    QList<Step> steps;
};

struct Scenario {
    bool sendStarted = true;
    bool closeReply = true;
    double usageSeconds = 0;
    QList<Rule> rules;
};

inline constexpr const char* connectTrigger = "connect";

// `directory` resolves relative audio paths.
Result<Scenario> compileScenario(const QJsonObject& scenario, const QString& directory);

// 16-bit little-endian PCM of a mono 24 kHz WAV file.
Result<QByteArray> readPcmWav(const QString& path);
// 16-bit little-endian PCM of a mono WAV file at any usual rate, which goes to `rate`.
Result<QByteArray> readWav(const QString& path, int* rate);

} // namespace kestrabo::sim
