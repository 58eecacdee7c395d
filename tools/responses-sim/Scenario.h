#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QString>

#include <optional>

namespace kestrabo::sim {

// One scripted answer of the Responses stand-in.
struct ScriptedReply {
    QString match;           // taken only by a request whose body contains it; empty: any request
    int status = 200;
    QByteArray body;
    QByteArray contentType = "application/json";
    QByteArray location;     // a Location header, for redirects; none when empty
    int delayMs = 0;
    bool repeat = false;     // stays available after use
    bool drop = false;       // close the connection instead of answering
    // Send the head (with the whole body's Content-Length) and only this many body bytes, then
    // close the connection (cut) or keep it open without another byte (stall); -1: whole body.
    qsizetype cutAfter = -1;
    qsizetype stallAfter = -1;
};

struct ResponsesScenario {
    QList<ScriptedReply> replies;
    ScriptedReply fallback;  // once nothing else applies
};

// Reads a scenario object; nothing, with the reason, when it is unusable.
std::optional<ResponsesScenario> parseResponsesScenario(const QJsonObject& scenario, QString* error);

// A finished Responses reply whose one message carries `text`.
QJsonObject completedResponse(const QString& text);

} // namespace kestrabo::sim
