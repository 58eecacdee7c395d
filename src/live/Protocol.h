#pragma once

#include <QJsonObject>
#include <QList>
#include <QString>
#include <QStringList>
#include <QUrl>
#include <QUuid>

#include <optional>

namespace kestrabo {

// One subtitle line.
struct Caption {
    QString speaker;
    QString text;
    friend bool operator==(const Caption&, const Caption&) = default;
};

// One question from a computer worker on its way to the voice model and the answer router.
struct WorkerQuestionEnvelope {
    QUuid taskID;
    QString taskTitle;
    QString requestID;
    QString questionID;
    QString prompt;
    QStringList options;

    bool isValid() const;
    friend bool operator==(const WorkerQuestionEnvelope&, const WorkerQuestionEnvelope&) = default;
};

// The vocabulary of the realtime voice session: builders of the client events. Pure.
namespace LiveProtocol {

inline constexpr qsizetype chunkBytes = 480;

// Client event types.
inline constexpr const char* sessionStart = "session.start";
inline constexpr const char* inputAudioAppend = "session.input_audio.append";
inline constexpr const char* thinkingAppend = "session.thinking.append";
inline constexpr const char* commentaryAppend = "session.commentary.append";
inline constexpr const char* sessionClose = "session.close";

// Server event types.
inline constexpr const char* sessionStarted = "session.started";
inline constexpr const char* outputAudioDelta = "session.output_audio.delta";
inline constexpr const char* inputTranscriptDelta = "session.input_transcript.delta";
inline constexpr const char* outputTranscriptDelta = "session.output_transcript.delta";
inline constexpr const char* delegationCreated = "session.delegation.created";
inline constexpr const char* usageUpdated = "session.usage.updated";
inline constexpr const char* sessionClosed = "session.closed";
inline constexpr const char* error = "error";

// The session URL for the configured API base, built once.
QUrl endpoint();

// The standing instructions of the voice model.
QString instructions();

QJsonObject start();
QJsonObject append(const QString& content, const std::optional<QString>& delegation, bool speak);
QList<QJsonObject> appends(const QString& content, const std::optional<QString>& delegation,
                           bool speak);
QString workerQuestionText(const WorkerQuestionEnvelope& envelope);
QList<QJsonObject> workerQuestionContext(const WorkerQuestionEnvelope& envelope);

// A fresh upper-case hyphenated UUID.
QString newEventID();

} // namespace LiveProtocol

} // namespace kestrabo
