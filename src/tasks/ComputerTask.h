#pragma once

#include "codex/CodexQuestion.h"
#include "core/Job.h"
#include "core/Publish.h"
#include "core/Result.h"

#include <QDateTime>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QSet>
#include <QString>
#include <QUuid>

#include <functional>
#include <optional>

namespace kestrabo {

class BrowserWorkspace;
class CodexWorker;

enum class ComputerTaskState { starting, working, review, manualReview, completed, failed, cancelled };

QString rawValue(ComputerTaskState state);
// starting, working and review are active.
bool isActive(ComputerTaskState state);

// One computer task: a titled piece of delegated work backed by its own Codex worker and
// browser workspace. Turns the worker's callbacks into task states and tells its owner about
// the end of the task exactly once (onResult, or onReview for a hand-over); held approvals may
// raise onReview before that. Main thread only; emits `changed()` for its own fields and for
// every change of its worker and workspace.
class ComputerTaskSession : public QObject, public Publishes<ComputerTaskSession> {
    Q_OBJECT
public:
    using Handler = std::function<void(ComputerTaskSession*, const QString&)>;

    // Takes ownership of the workspace and the worker.
    ComputerTaskSession(QString task, QString title, QSet<QString> delegationIDs,
                        std::optional<QUuid> voiceSessionID, BrowserWorkspace* browser, CodexWorker* worker,
                        QObject* parent = nullptr);

    const QUuid& id() const { return m_id; }
    const QString& title() const { return m_title; }
    const QString& task() const { return m_task; }
    const std::optional<QUuid>& voiceSessionID() const { return m_voiceSessionID; }
    const QDateTime& createdAt() const { return m_createdAt; }
    BrowserWorkspace& browser() const { return *m_browser; }
    CodexWorker& worker() const { return *m_worker; }
    const QSet<QString>& delegationIDs() const { return m_delegationIDs; }
    void addDelegationIDs(const QSet<QString>& ids);
    ComputerTaskState state() const { return m_state; }
    const std::optional<QString>& outcome() const { return m_outcome; }
    const std::optional<QDateTime>& finishedAt() const { return m_finishedAt; }
    // The outcome once there is one, the worker's live summary until then.
    QString result() const;

    Handler onResult;
    Handler onReview;
    std::function<void(ComputerTaskSession*, const CodexQuestionRequest&)> onQuestion;

    // Starts the worker in the background; the API key never reaches Codex.
    void launch(const QString& context, const QString& apiKey);
    void stop();
    Status allowPendingApproval();
    void declinePendingApproval();
    // Stops the agent and hands the task to the user.
    void takeOver();
    // Locks the workspace; `done` runs once no computer action is in flight.
    void detach(std::function<void()> done = {});

Q_SIGNALS:
    void changed();

private:
    void started(const Status& status);
    void completed(const QString& text);
    void requestedReview(const QString& summary);
    void notifyResult();

    const QUuid m_id = QUuid::createUuid();
    QString m_title;
    QString m_task;
    std::optional<QUuid> m_voiceSessionID;
    QDateTime m_createdAt = QDateTime::currentDateTime();
    BrowserWorkspace* m_browser;
    CodexWorker* m_worker;
    QSet<QString> m_delegationIDs;
    ComputerTaskState m_state = ComputerTaskState::starting;
    std::optional<QString> m_outcome;
    std::optional<QDateTime> m_finishedAt;
    Job m_startupTask;
    bool m_notificationSent = false;
};

// Owns every computer task of the app's lifetime: titles and creates them, funnels their
// callbacks into its own, re-emits every session's change and stops them all on quit.
class ComputerTaskManager : public QObject {
    Q_OBJECT
public:
    static constexpr qsizetype maxTitleCharacters = 90;

    using BrowserFactory = std::function<BrowserWorkspace*()>;
    using WorkerFactory = std::function<CodexWorker*(BrowserWorkspace*)>;

    // With the default factories: a workspace on the shared Computer Use client, a worker on
    // the user's Codex CLI.
    explicit ComputerTaskManager(QObject* parent = nullptr);
    ComputerTaskManager(BrowserFactory browserFactory, WorkerFactory workerFactory, QObject* parent = nullptr);

    // White-space runs collapsed to single spaces, the first 90 characters; "Computer task"
    // when nothing remains.
    static QString title(const QString& task);

    // Oldest first.
    const QList<ComputerTaskSession*>& sessions() const { return m_sessions; }
    ComputerTaskSession* session(const QUuid& id) const;

    ComputerTaskSession::Handler onResult;
    ComputerTaskSession::Handler onReview;
    std::function<void(ComputerTaskSession*, const CodexQuestionRequest&)> onQuestion;

    // Titles, creates and launches a task and returns it at once; the start goes on behind.
    ComputerTaskSession* start(const QString& task, const QString& context, const QString& apiKey,
                               const QSet<QString>& delegationIDs, const std::optional<QUuid>& voiceSessionID);
    // Stops every task and locks its workspace; returns without waiting for the workspaces.
    void stopAll();

Q_SIGNALS:
    void changed();

private:
    ComputerTaskSession* makeSession(const QString& task, const QString& title, const QSet<QString>& delegationIDs,
                                     const std::optional<QUuid>& voiceSessionID);

    BrowserFactory m_browserFactory;
    WorkerFactory m_workerFactory;
    QList<ComputerTaskSession*> m_sessions;
};

} // namespace kestrabo
