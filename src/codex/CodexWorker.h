#pragma once

#include "codex/CodexExecutable.h"
#include "codex/CodexQuestion.h"
#include "core/Job.h"
#include "core/KestraboError.h"
#include "core/Publish.h"
#include "core/Result.h"

#include <QJsonObject>
#include <QJsonValue>
#include <QList>
#include <QMap>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QUuid>

#include <functional>
#include <memory>
#include <optional>

namespace kestrabo {

class CodexRPC;

// Runs one computer task on the user's Codex CLI: starts `codex app-server`, opens a thread and
// a turn, follows what Codex streams back, holds its approvals and questions for the user and
// reports one result. Lives on the main thread; emits `changed()` whenever a published field
// changes.
class CodexWorker : public QObject, public Publishes<CodexWorker> {
    Q_OBJECT
public:
    static constexpr int defaultRequestTimeoutMs = 20'000;
    static constexpr qsizetype maxMessages = 50;
    static constexpr qsizetype maxResultCharacters = 8'000;
    static constexpr qsizetype maxErrorCharacters = 2'000;

    // The approval request held for the user: its id as received, its id key, method and params.
    struct PendingApproval {
        QJsonValue id;
        QString key;
        QString method;
        QJsonObject params;
    };

    using ExecutableResolver = std::function<std::optional<QString>()>;
    // Creates the channel; the worker takes ownership of what it returns.
    using RPCFactory = std::function<CodexRPC*(const QString& executable, const QStringList& arguments,
                                               const Environment& environment, const QString& workingDirectory)>;
    using StartCompletion = std::function<void(Status)>;

    // With the defaults: the executable found from the live environment, a real channel.
    explicit CodexWorker(QObject* parent = nullptr);
    CodexWorker(ExecutableResolver resolveExecutable, RPCFactory rpcFactory, QObject* parent = nullptr);
    ~CodexWorker() override;

    // Published fields.
    bool running() const { return m_running; }
    const QString& status() const { return m_status; }
    const QString& result() const { return m_result; }
    bool reviewRequested() const { return m_reviewRequested; }
    bool approvalPending() const { return m_approvalPending; }
    bool approvalCanBeAccepted() const { return m_approvalCanBeAccepted; }
    const QList<CodexQuestionRequest>& pendingQuestions() const { return m_pendingQuestions; }

    // The owning session writes its own status when the user takes the task over.
    void setStatus(const QString& value);

    std::function<void(const QString&)> onResult;
    std::function<void(const QString&)> onReview;
    std::function<void(const CodexQuestionRequest&)> onQuestion;

    ExecutableResolver resolveExecutable;
    RPCFactory rpcFactory;
    // The environment the child's is derived from; the live process environment by default.
    std::function<Environment()> processEnvironment;
    void setRequestTimeout(int milliseconds) { m_requestTimeoutMs = milliseconds; }

    // Runs the whole start sequence; `done` runs once, in a later event-loop turn, when the turn
    // has started or the start failed (not at all if the worker is destroyed while a request of
    // the sequence is in flight). Cancelling `job` ends the run with a cancellation error and
    // the status "Stopped". A start
    // overtaken by stop() succeeds quietly: the stop already settled the worker. The API key and
    // the title never reach Codex.
    void start(const QString& task, const QString& context, const QString& apiKey, const QString& title,
               StartCompletion done, Job job = {});
    void stop();
    Status approvePendingReview();
    void declinePendingReview();
    Status answerPendingQuestion(const QString& requestID, const CodexAnswers& answers);

    // Observers of the current run.
    const QUuid& generation() const { return m_generation; }
    const std::optional<QString>& threadID() const { return m_threadID; }
    const std::optional<QString>& turnID() const { return m_turnID; }
    const std::optional<QString>& finalMessage() const { return m_finalMessage; }
    const std::optional<QString>& lastError() const { return m_lastError; }
    const std::optional<PendingApproval>& pendingApproval() const { return m_pendingApproval; }
    CodexRPC* rpc() const { return m_rpc; }

Q_SIGNALS:
    void changed();

private:
    struct StartRun;
    struct PendingQuestionRequest {
        QJsonValue id;
        CodexQuestionRequest request;
        CodexAnswers answers;
    };

    void setResult(const QString& value);
    void setRunning(bool value) { publish(m_running, value); }

    void afterInitialize(const std::shared_ptr<StartRun>& run, const Result<QJsonObject>& response);
    void afterThread(const std::shared_ptr<StartRun>& run, const Result<QJsonObject>& response);
    void afterTurn(const std::shared_ptr<StartRun>& run, const Result<QJsonObject>& response);
    void startFailed(const std::shared_ptr<StartRun>& run, const KestraboError& error);
    void channelFailed(const KestraboError& error);

    void shutdown();
    void finish(const QString& message, const QString& status);
    void handle(const QJsonObject& message);
    void handleRequest(const QJsonValue& id, const QString& method, const QJsonObject& params);
    void handleNotification(const QString& method, const QJsonObject& params);
    bool matchesThread(const QJsonObject& params) const;
    bool matchesTurn(const QJsonObject& params) const;
    QString agentText() const;
    void holdApproval(const QJsonValue& id, const QString& method, const QJsonObject& params, const QString& summary);
    void clearPendingApproval();
    void holdQuestions(const QJsonValue& id, const QJsonObject& params);
    void clearPendingQuestion(const QString& requestID);
    void requestReview(const QString& summary);

    bool m_running = false;
    QString m_status = QStringLiteral("Ready");
    QString m_result;
    bool m_reviewRequested = false;
    bool m_approvalPending = false;
    bool m_approvalCanBeAccepted = false;
    QList<CodexQuestionRequest> m_pendingQuestions;

    QPointer<CodexRPC> m_rpc;
    QUuid m_generation = QUuid::createUuid();
    std::optional<QString> m_threadID;
    std::optional<QString> m_turnID;
    QMap<QString, QString> m_messages;
    QStringList m_messageOrder;
    std::optional<QString> m_finalMessage;
    std::optional<QString> m_lastError;
    std::optional<PendingApproval> m_pendingApproval;
    QMap<QString, PendingQuestionRequest> m_questionRequests;
    int m_requestTimeoutMs = defaultRequestTimeoutMs;
};

} // namespace kestrabo
