#pragma once

#include <QHash>
#include <QSet>
#include <QString>
#include <QStringList>
#include <QUuid>

#include <functional>
#include <optional>

namespace kestrabo {

class ComputerTaskManager;
class ComputerTaskSession;

// The computer tasks started for one routed request, and the delegations waiting for them.
struct TaskBatch {
    QUuid voiceSessionID;
    QSet<QString> delegationIDs;
    QSet<QUuid> sessionIDs;
    bool reported = false;
};

// The task route of the delegation pipeline: starts a request's tasks as one batch, links
// later delegations of the same request to it, and reports the batch to the voice model once
// all of its tasks have finished or wait for the user. Batches of an ended conversation are
// never reported. Owned by the model; main thread only.
class TaskRoute {
public:
    static constexpr qsizetype maxTaskSummaryCharacters = 240;
    static constexpr qsizetype maxSummaryCharacters = 2'200;

    struct Hooks {
        // A conversation is running.
        std::function<bool()> active;
        // The current conversation's token.
        std::function<QUuid()> generation;
        // Spoken context, answering `delegation` when one is given.
        std::function<void(const QString& text, const std::optional<QString>& delegation)> say;
    };

    TaskRoute(ComputerTaskManager& manager, Hooks hooks);

    // Starts one task per text in a new batch that answers `delegationIDs` later; returns the
    // spoken confirmation.
    QString start(const QStringList& tasks, const QString& context, const QString& apiKey,
                  const QSet<QString>& delegationIDs, const QUuid& token);
    // Delegations that arrived for a request already routed to `batchID`.
    void link(const QSet<QString>& delegationIDs, const QUuid& batchID);
    // A task ended, or waits for the user's review or approval.
    void taskFinished(ComputerTaskSession* session, bool review);
    void reportIfReady(const QUuid& batchID);
    QString summary(const TaskBatch& batch) const;
    // What to tell the voice model about the browser of the task `target` names.
    QString showBrowser(const std::optional<QString>& target) const;

    const std::optional<QUuid>& lastBatchID() const { return m_lastBatchID; }
    void forgetLastBatch() { m_lastBatchID.reset(); }
    const TaskBatch* batch(const QUuid& id) const;

private:
    QList<ComputerTaskSession*> sessionsOf(const TaskBatch& batch) const;

    ComputerTaskManager& m_manager;
    Hooks m_hooks;
    QHash<QUuid, TaskBatch> m_batches;
    QHash<QUuid, QUuid> m_sessionBatches;
    std::optional<QUuid> m_lastBatchID;
};

} // namespace kestrabo
