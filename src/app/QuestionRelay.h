#pragma once

#include "codex/CodexQuestion.h"
#include "core/Job.h"
#include "core/Result.h"
#include "live/Protocol.h"

#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QString>
#include <QUuid>

#include <functional>
#include <map>
#include <optional>

namespace kestrabo {

class ComputerTaskManager;
class ComputerTaskSession;

// One Codex question request of one task, as voice answers are filed under it.
struct WorkerRequestKey {
    QUuid taskID;
    QString requestID;

    friend bool operator==(const WorkerRequestKey&, const WorkerRequestKey&) = default;
    friend bool operator<(const WorkerRequestKey& a, const WorkerRequestKey& b)
    {
        return a.taskID != b.taskID ? a.taskID < b.taskID : a.requestID < b.requestID;
    }
};

// Relays the tasks' Codex questions by voice during a conversation: queues them, asks one at
// a time, waits until the voice model has said it, takes the user's next utterance as the
// answer when the answer classifier agrees, and sends a request's answers together once all
// of its questions have one. Secret questions are left to the task card. Owned by the model;
// main thread only.
class QuestionRelay : public QObject {
    Q_OBJECT
public:
    static constexpr int defaultArmDelayMs = 2'000;

    struct Hooks {
        // A conversation is running, and its token.
        std::function<bool()> active;
        std::function<QUuid()> generation;
        // Context the voice model should hear now; dropped when the session cannot take it.
        std::function<void(const QList<QJsonObject>&)> send;
        std::function<bool()> canSend;
        std::function<QString()> apiKey;
        std::function<void(const std::optional<QString>&)> setError;
        // Opens the island.
        std::function<void()> expand;
    };

    QuestionRelay(ComputerTaskManager& manager, Hooks hooks, QObject* parent = nullptr);

    void enqueue(ComputerTaskSession* session, const CodexQuestionRequest& request);
    void presentNext();
    // At every session start: the queue again from what the tasks still wait for.
    void rebuild();
    // The live question an envelope stands for, while it is still waiting.
    std::optional<CodexQuestion> pendingQuestion(const WorkerQuestionEnvelope& envelope) const;

    // The voice model is talking; the answer counts once it has finished.
    void observeOutput();
    void playbackStopped();

    // Offers an utterance to the active question; `done` runs once with whether it was taken
    // (not at all when `job` is cancelled meanwhile).
    void route(const QString& text, const QUuid& token, const Job& job, std::function<void(bool consumed)> done);

    void clear(const QUuid& taskID, const QString& requestID);
    void clear(const QUuid& taskID);
    Status answerTaskQuestion(ComputerTaskSession* session, const QString& requestID, const CodexAnswers& answers);
    Status allowTaskApproval(ComputerTaskSession* session);
    // The conversation ended: nothing is asked any more; filed answers stay.
    void conversationEnded();

    const QList<WorkerQuestionEnvelope>& queue() const { return m_queue; }
    const std::optional<WorkerQuestionEnvelope>& activeQuestion() const { return m_active; }
    bool answerReady() const { return m_answerReady; }
    const std::map<WorkerRequestKey, CodexAnswers>& answers() const { return m_answers; }
    void setArmDelay(int milliseconds) { m_armDelayMs = milliseconds; }

    // For a transcript of the conversation: a question put to the voice model, an answer filed.
    std::function<void(const WorkerQuestionEnvelope&)> onAsked;
    std::function<void(const WorkerQuestionEnvelope&, const QString& answer)> onAnswered;

private:
    const CodexQuestionRequest* pendingRequest(ComputerTaskSession* session, const QString& requestID) const;
    void ask(const WorkerQuestionEnvelope& envelope);
    void accept(const QString& answer, const WorkerQuestionEnvelope& envelope);
    void clearActive();
    void say(const QString& text);

    ComputerTaskManager& m_manager;
    Hooks m_hooks;
    QList<WorkerQuestionEnvelope> m_queue;
    std::optional<WorkerQuestionEnvelope> m_active;
    std::map<WorkerRequestKey, CodexAnswers> m_answers;
    bool m_outputObserved = false;
    bool m_answerReady = false;
    Job m_armTask;
    int m_armDelayMs = defaultArmDelayMs;
};

} // namespace kestrabo
