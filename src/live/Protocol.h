#pragma once

#include <QJsonObject>
#include <QList>
#include <QSet>
#include <QString>
#include <QStringList>
#include <QUrl>
#include <QUuid>

#include <optional>

namespace kestrabo {

// One subtitle line: who spoke ("You" or "Kestrabo") and what.
struct Caption {
    QString speaker;
    QString text;
    friend bool operator==(const Caption&, const Caption&) = default;
};

inline const QString kUserSpeaker = QStringLiteral("You");
inline const QString kAssistantSpeaker = QStringLiteral("Kestrabo");

// One transcript delta as stored: who spoke, the text as received, and when (milliseconds).
struct TranscriptFragment {
    QString id;
    QString speaker;
    QString text;
    double start = 0;
    double end = 0;
    friend bool operator==(const TranscriptFragment&, const TranscriptFragment&) = default;
};

// The subtitles of both sides of a conversation. Deltas may arrive late, twice or out of
// order: the ledger keeps each once and derives its views from them in time order.
class TranscriptLedger {
public:
    static constexpr qsizetype defaultRetention = 1200;

    explicit TranscriptLedger(qsizetype retention = defaultRetention) : m_retention(retention) {}

    // True when the event was a transcript delta not seen before and was stored.
    bool ingest(const QJsonObject& event);

    // Kept sorted as deltas arrive (they mostly arrive in order), so the views cost one pass.
    const QList<TranscriptFragment>& ordered() const { return m_ordered; }
    QList<Caption> captions() const;
    QString latestUserText() const;
    QString context(std::optional<double> through = std::nullopt) const;

    const QList<TranscriptFragment>& fragments() const { return m_fragments; }
    qsizetype retention() const { return m_retention; }

    // The key of a delta that came without an event id.
    static QString synthesisedKey(const QString& type, double start, double end, const QString& delta);
    // Shortest decimal that reads back to the same double, always with a fractional part.
    static QString decimal(double value);

private:
    QList<TranscriptFragment> m_fragments;
    QList<TranscriptFragment> m_ordered;
    QSet<QString> m_seen;
    qsizetype m_retention;
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
