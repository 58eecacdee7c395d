#pragma once

#include "core/Job.h"
#include "core/Result.h"
#include "live/Protocol.h"

#include <QJsonObject>
#include <QString>

#include <functional>
#include <optional>

namespace kestrabo {

// Whether an utterance answers a worker's pending question. Wire values of the schema.
enum class WorkerAnswerKind { answer, unrelated, ambiguous };

QString rawValue(WorkerAnswerKind kind);
std::optional<WorkerAnswerKind> workerAnswerKindFrom(QStringView raw);

// `answer` is non-blank for WorkerAnswerKind::answer and blank otherwise.
struct WorkerAnswerDecision {
    WorkerAnswerKind kind = WorkerAnswerKind::ambiguous;
    QString answer;

    friend bool operator==(const WorkerAnswerDecision&, const WorkerAnswerDecision&) = default;
};

// Decides whether the user's words answer the one question a task is waiting on.
// Stateless; main thread.
namespace WorkerAnswerService {

using Completion = std::function<void(Result<WorkerAnswerDecision>)>;

inline constexpr double defaultTimeoutSeconds = 30;
inline constexpr int maxOutputTokens = 800;

// Completes in a later turn of the event loop with a checked and grounded decision, or one
// error. An invalid envelope or a blank utterance fails without sending anything.
void classify(const QString& utterance, const WorkerQuestionEnvelope& question, const QString& key,
              const Job& job, Completion completion, double timeoutSeconds = defaultTimeoutSeconds);

// The decision in a reply, checked but not grounded.
Result<WorkerAnswerDecision> parse(const QJsonObject& reply);

// What the task receives is the user's own words, never the model's copy of them.
WorkerAnswerDecision ground(const WorkerAnswerDecision& decision, const QString& utterance);

// The pieces of the request.
const QString& instructions();
QJsonObject schema();
QString inputText(const QString& utterance, const WorkerQuestionEnvelope& question);
QJsonObject body(const QString& utterance, const WorkerQuestionEnvelope& question);

} // namespace WorkerAnswerService

} // namespace kestrabo
