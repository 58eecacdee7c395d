#include "codex/CodexWorker.h"

#include "codex/CodexRPC.h"
#include "codex/CodexWorkerProtocol.h"
#include "core/Json.h"
#include "core/Text.h"
#include "platform/HostSystem.h"

#include <QCoreApplication>

namespace kestrabo {

namespace protocol = CodexWorkerProtocol;
namespace method = CodexWorkerProtocol::method;

namespace {

const QString kNoExecutable = QStringLiteral(
    "Could not find the Codex CLI. Install it in ~/.local/bin, /opt/homebrew/bin, or /usr/local/bin, "
    "or add it to PATH before launching Kestrabo.");
const QString kWrongModel = QStringLiteral("Codex did not start the requested GPT-5.6 Sol worker model.");
const QString kDisconnected = QStringLiteral("The Codex worker is disconnected.");
const QString kLimit = QStringLiteral("The worker response exceeded its limit.");
const QString kNoResult = QStringLiteral("The worker finished without a result.");
const QString kFailedPrefix = QStringLiteral("Codex could not complete the task: ");
const QString kFailedGeneric = QStringLiteral(
    "Codex could not complete the task. Check the signed-in account and required plugin or app approval.");
const QString kInterrupted = QStringLiteral("The computer task was interrupted.");
const QString kUnrecognized =
    QStringLiteral("Codex returned an unrecognized task status. Check the task before retrying.");
const QString kManualInput = QStringLiteral("This request needs manual input and cannot be approved with one click.");
const QString kNoLongerWaiting = QStringLiteral("That Codex question is no longer waiting for an answer.");
const QString kNoMatch = QStringLiteral("The answer does not match a question Codex is waiting for.");
const QString kAlreadyAnswered = QStringLiteral("That Codex question has already been answered.");
const QString kExplicitAnswer = QStringLiteral("Each Codex question needs an explicit answer from the user.");
constexpr qsizetype kMaxAnswerBytes = 8'000;

const QString kReady = QStringLiteral("Ready");
const QString kStopped = QStringLiteral("Stopped");
const QString kStarting = QStringLiteral("Starting local Codex");
const QString kWorking = QStringLiteral("Working with Codex");
const QString kSearching = QStringLiteral("Searching the web");
const QString kWaitingApproval = QStringLiteral("Waiting for your approval");
const QString kWaitingAnswer = QStringLiteral("Waiting for your voice answer");
const QString kReadyForReview = QStringLiteral("Ready for your review");
const QString kFinished = QStringLiteral("Finished");
const QString kWorkerStopped = QStringLiteral("Worker stopped");
const QString kUnavailable = QStringLiteral("Worker unavailable");

// A cluster never spans less than one UTF-16 unit, so short text needs no boundary search.
QString cut(const QString& text, qsizetype characters)
{
    if (text.size() <= characters)
        return text;
    return text::graphemePrefix(text, characters);
}

QString prompts(const QList<CodexQuestion>& questions)
{
    QStringList lines;
    for (const CodexQuestion& question : questions)
        lines.append(question.prompt);
    return lines.join(QLatin1Char('\n'));
}

void later(CodexWorker::StartCompletion done, Status status)
{
    if (!done)
        return;
    post(QCoreApplication::instance(), [done = std::move(done), status = std::move(status)] { done(status); });
}

} // namespace

struct CodexWorker::StartRun {
    QString task;
    QString context;
    QString directory;
    QUuid token;
    Job job;
    StartCompletion done;
};

CodexWorker::CodexWorker(QObject* parent)
    : CodexWorker(
        [] { return protocol::executableURL(host::processEnvironment()); },
        [](const QString& executable, const QStringList& arguments, const Environment& environment,
           const QString& workingDirectory) {
            return new CodexRPC(executable, arguments, environment, workingDirectory);
        },
        parent)
{
}

CodexWorker::CodexWorker(ExecutableResolver resolver, RPCFactory factory, QObject* parent)
    : QObject(parent), resolveExecutable(std::move(resolver)), rpcFactory(std::move(factory)),
      processEnvironment(host::processEnvironment)
{
}

CodexWorker::~CodexWorker()
{
    m_generation = QUuid::createUuid();
    if (m_rpc) {
        m_rpc->onMessage = nullptr;
        m_rpc->onFailure = nullptr;
        m_rpc->close();
    }
}

void CodexWorker::setStatus(const QString& value)
{
    publish(m_status, value);
}

void CodexWorker::setResult(const QString& value)
{
    publish(m_result, cut(value, maxResultCharacters));
}

// MARK: start

void CodexWorker::start(const QString& task, const QString& context, const QString& apiKey, const QString& title,
                        StartCompletion done, Job job)
{
    Q_UNUSED(apiKey);
    Q_UNUSED(title);
    stop();
    const Environment environment = protocol::environment(processEnvironment ? processEnvironment() : Environment());
    const std::optional<QString> executable = resolveExecutable ? resolveExecutable() : std::nullopt;
    if (!executable) {
        later(std::move(done), KestraboError::message(kNoExecutable));
        return;
    }

    auto run = std::make_shared<StartRun>();
    run->task = task;
    run->context = context;
    run->token = m_generation;
    run->job = job;
    run->done = std::move(done);

    setRunning(true);
    publish(m_reviewRequested, false);
    publish(m_approvalPending, false);
    publish(m_approvalCanBeAccepted, false);
    setResult(QString());
    m_lastError.reset();
    const auto home = environment.constFind(QStringLiteral("HOME"));
    run->directory = home != environment.constEnd() ? *home : host::accountHomeDirectory();
    setStatus(kStarting);

    CodexRPC* rpc = rpcFactory ? rpcFactory(*executable, protocol::arguments(), environment, run->directory) : nullptr;
    if (!rpc) {
        startFailed(run, KestraboError::message(QStringLiteral("Could not launch the local Codex worker.")));
        return;
    }
    rpc->setParent(this);
    m_rpc = rpc;
    QPointer<CodexWorker> self(this);
    const QUuid token = run->token;
    rpc->onMessage = [self, token](const QJsonObject& message) {
        if (self && self->m_generation == token)
            self->handle(message);
    };
    rpc->onFailure = [self, token](const KestraboError& error) {
        if (self && self->m_generation == token && self->m_running)
            self->channelFailed(error);
    };

    const Status launched = rpc->launch();
    if (!launched) {
        startFailed(run, launched.error());
        return;
    }
    rpc->request(
        method::initialize, protocol::initialize(), m_requestTimeoutMs,
        [self, run](Result<QJsonObject> response) {
            if (self)
                self->afterInitialize(run, response);
        },
        job);
}

void CodexWorker::afterInitialize(const std::shared_ptr<StartRun>& run, const Result<QJsonObject>& response)
{
    if (!response) {
        startFailed(run, response.error());
        return;
    }
    if ((run->job.isValid() && run->job.isCancelled()) || m_generation != run->token || !m_rpc) {
        startFailed(run, KestraboError::cancelled());
        return;
    }
    const Status written = m_rpc->write(
        QJsonObject{{QStringLiteral("method"), QString(method::initialized)}, {QStringLiteral("params"), QJsonObject()}});
    if (!written) {
        startFailed(run, written.error());
        return;
    }
    QPointer<CodexWorker> self(this);
    m_rpc->request(
        method::threadStart, protocol::thread(run->directory), m_requestTimeoutMs,
        [self, run](Result<QJsonObject> next) {
            if (self)
                self->afterThread(run, next);
        },
        run->job);
}

void CodexWorker::afterThread(const std::shared_ptr<StartRun>& run, const Result<QJsonObject>& response)
{
    if (!response) {
        startFailed(run, response.error());
        return;
    }
    if (m_generation != run->token || !m_rpc) {
        startFailed(run, KestraboError::cancelled());
        return;
    }
    const QJsonObject& result = response.value();
    const auto thread = json::object(result, u"thread");
    const auto threadID = thread ? json::string(*thread, u"id") : std::nullopt;
    if (json::string(result, u"model") != QString(protocol::model) || !threadID) {
        startFailed(run, KestraboError::message(kWrongModel));
        return;
    }
    m_threadID = threadID;
    setStatus(kWorking);
    QPointer<CodexWorker> self(this);
    m_rpc->request(
        method::turnStart, protocol::turn(*threadID, run->task, run->context), m_requestTimeoutMs,
        [self, run](Result<QJsonObject> next) {
            if (self)
                self->afterTurn(run, next);
        },
        run->job);
}

void CodexWorker::afterTurn(const std::shared_ptr<StartRun>& run, const Result<QJsonObject>& response)
{
    if (!response) {
        startFailed(run, response.error());
        return;
    }
    if (m_generation != run->token) {
        startFailed(run, KestraboError::cancelled());
        return;
    }
    // turn/started usually comes first and has set the turn already.
    if (const auto turn = json::object(response.value(), u"turn")) {
        if (const auto id = json::string(*turn, u"id"))
            m_turnID = id;
    }
    later(std::move(run->done), {});
}

void CodexWorker::startFailed(const std::shared_ptr<StartRun>& run, const KestraboError& error)
{
    if (m_generation != run->token) {
        later(std::move(run->done), {});
        return;
    }
    setRunning(false);
    setStatus(error.isCancellation() ? kStopped : kUnavailable);
    shutdown();
    later(std::move(run->done), error);
}

void CodexWorker::channelFailed(const KestraboError& error)
{
    stop();
    setStatus(kUnavailable);
    setResult(error.description());
    if (onResult)
        onResult(m_result);
}

// MARK: stop

void CodexWorker::stop()
{
    m_generation = QUuid::createUuid();
    setRunning(false);
    setStatus(kStopped);
    shutdown();
}

void CodexWorker::shutdown()
{
    if (CodexRPC* rpc = m_rpc) {
        m_rpc = nullptr;
        rpc->close();
        rpc->deleteLater();
    }
    m_threadID.reset();
    m_turnID.reset();
    m_messages.clear();
    m_messageOrder.clear();
    m_finalMessage.reset();
    m_lastError.reset();
    m_pendingApproval.reset();
    m_questionRequests.clear();
    publish(m_approvalPending, false);
    publish(m_approvalCanBeAccepted, false);
    publish(m_pendingQuestions, QList<CodexQuestionRequest>());
}

void CodexWorker::finish(const QString& message, const QString& status)
{
    const QString text = cut(message, maxResultCharacters);
    stop();
    setStatus(status);
    setResult(text);
    if (onResult)
        onResult(text);
}

// MARK: messages

void CodexWorker::handle(const QJsonObject& message)
{
    const auto name = json::string(message, u"method");
    if (!name)
        return;
    const QJsonObject params = json::object(message, u"params").value_or(QJsonObject());
    if (message.contains(u"id"))
        handleRequest(message.value(u"id"), *name, params);
    else
        handleNotification(*name, params);
}

bool CodexWorker::matchesThread(const QJsonObject& params) const
{
    return json::string(params, u"threadId") == m_threadID;
}

bool CodexWorker::matchesTurn(const QJsonObject& params) const
{
    const auto turnID = json::string(params, u"turnId");
    return !turnID || turnID == m_turnID;
}

void CodexWorker::handleRequest(const QJsonValue& id, const QString& name, const QJsonObject& params)
{
    const bool matches = matchesThread(params) && matchesTurn(params);
    if (matches && name == method::requestUserInput) {
        holdQuestions(id, params);
        return;
    }
    const std::optional<QString> summary = matches ? protocol::reviewSummary(name, params) : std::nullopt;
    if (summary) {
        if (name == method::elicitation || name == method::permissionsApproval || name == method::commandApproval
            || name == method::fileChangeApproval)
            holdApproval(id, name, params, *summary);
        else
            requestReview(*summary);
        return;
    }
    if (m_rpc)
        m_rpc->reject(id);
}

QString CodexWorker::agentText() const
{
    QStringList texts;
    for (const QString& id : m_messageOrder) {
        const auto found = m_messages.constFind(id);
        if (found != m_messages.constEnd())
            texts.append(*found);
    }
    return texts.join(QStringLiteral("\n\n"));
}

void CodexWorker::handleNotification(const QString& name, const QJsonObject& params)
{
    if (!m_running || !matchesThread(params))
        return;

    if (name == method::serverRequestResolved) {
        const auto key = CodexRPC::idKey(params.value(u"requestId"));
        if (!key)
            return;
        if (m_pendingApproval && m_pendingApproval->key == *key)
            clearPendingApproval();
        if (m_questionRequests.contains(*key))
            clearPendingQuestion(*key);
        return;
    }
    if (name == method::turnStarted) {
        if (const auto turn = json::object(params, u"turn"))
            m_turnID = json::string(*turn, u"id");
        return;
    }
    if (const auto turnID = json::string(params, u"turnId"); turnID && turnID != m_turnID)
        return;

    if (name == method::agentMessageDelta) {
        const auto itemID = json::string(params, u"itemId");
        const auto delta = json::string(params, u"delta");
        if (!itemID || !delta)
            return;
        if (!m_messages.contains(*itemID)) {
            if (m_messageOrder.size() >= maxMessages) {
                finish(kLimit, kWorkerStopped);
                return;
            }
            m_messageOrder.append(*itemID);
        }
        QString& text = m_messages[*itemID];
        text = cut(text + *delta, maxResultCharacters);
        setResult(agentText());
        return;
    }
    if (name == method::itemStarted || name == method::itemCompleted) {
        const auto item = json::object(params, u"item");
        const auto type = item ? json::string(*item, u"type") : std::nullopt;
        if (!type)
            return;
        if (*type == u"webSearch") {
            setStatus(name == method::itemStarted ? kSearching : kWorking);
        } else if (*type == u"agentMessage" && name == method::itemCompleted) {
            const auto text = json::string(*item, u"text");
            if (!text)
                return;
            if (json::string(*item, u"phase") == u"final_answer")
                m_finalMessage = cut(*text, maxResultCharacters);
            if (const auto id = json::string(*item, u"id")) {
                if (!m_messages.contains(*id) && m_messageOrder.size() < maxMessages)
                    m_messageOrder.append(*id);
                m_messages.insert(*id, cut(*text, maxResultCharacters));
            }
        }
        return;
    }
    if (name == method::error) {
        if (json::boolean(params, u"willRetry") == true)
            return;
        if (const auto error = json::object(params, u"error")) {
            if (const auto message = json::string(*error, u"message"))
                m_lastError = cut(*message, maxErrorCharacters);
        }
        return;
    }
    if (name == method::turnCompleted) {
        const auto turn = json::object(params, u"turn");
        if (!turn || json::string(*turn, u"id") != m_turnID)
            return;
        const auto status = json::string(*turn, u"status");
        if (status == u"completed") {
            const QString text = m_finalMessage ? *m_finalMessage : agentText();
            finish(text.isEmpty() ? kNoResult : text, kFinished);
        } else if (status == u"failed") {
            const auto error = json::object(*turn, u"error");
            std::optional<QString> message = error ? json::string(*error, u"message") : std::nullopt;
            if (!message)
                message = m_lastError;
            finish(message ? kFailedPrefix + cut(*message, maxErrorCharacters) : kFailedGeneric, kUnavailable);
        } else if (status == u"interrupted") {
            finish(kInterrupted, kStopped);
        } else {
            finish(kUnrecognized, kUnavailable);
        }
    }
}

// MARK: approvals

void CodexWorker::holdApproval(const QJsonValue& id, const QString& name, const QJsonObject& params,
                               const QString& summary)
{
    const auto key = CodexRPC::idKey(id);
    if (m_pendingApproval || !key) {
        if (m_rpc)
            m_rpc->reject(id);
        return;
    }
    m_pendingApproval = PendingApproval{id, *key, name, params};
    publish(m_approvalPending, true);
    publish(m_approvalCanBeAccepted, protocol::acceptsWithOneClick(name, params));
    publish(m_reviewRequested, true);
    setResult(summary);
    setStatus(kWaitingApproval);
    if (onReview)
        onReview(m_result);
}

Status CodexWorker::approvePendingReview()
{
    if (!m_pendingApproval || m_pendingApproval->method != method::elicitation || !m_approvalCanBeAccepted)
        return KestraboError::message(kManualInput);
    // A failed answer closes the channel and settles the worker; nothing is left to clear then.
    const QUuid generation = m_generation;
    if (m_rpc)
        m_rpc->respond(m_pendingApproval->id, protocol::acceptResult());
    if (generation == m_generation)
        clearPendingApproval();
    return {};
}

void CodexWorker::declinePendingReview()
{
    if (!m_pendingApproval)
        return;
    const QUuid generation = m_generation;
    if (m_rpc) {
        if (const auto result = protocol::declineResult(m_pendingApproval->method))
            m_rpc->respond(m_pendingApproval->id, *result);
        else
            m_rpc->reject(m_pendingApproval->id);
    }
    if (generation == m_generation)
        clearPendingApproval();
}

void CodexWorker::clearPendingApproval()
{
    m_pendingApproval.reset();
    publish(m_approvalPending, false);
    publish(m_approvalCanBeAccepted, false);
    publish(m_reviewRequested, false);
    if (!m_pendingQuestions.isEmpty()) {
        setStatus(kWaitingAnswer);
        setResult(prompts(m_pendingQuestions.first().questions));
        return;
    }
    setResult(QString());
    if (m_running)
        setStatus(kWorking);
}

// MARK: questions

void CodexWorker::holdQuestions(const QJsonValue& id, const QJsonObject& params)
{
    const auto key = CodexRPC::idKey(id);
    if (!key) {
        if (m_rpc)
            m_rpc->reject(id);
        return;
    }
    if (m_questionRequests.contains(*key))
        return;
    const std::optional<CodexQuestionRequest> request = protocol::questionRequest(id, params);
    if (!request) {
        if (m_rpc)
            m_rpc->reject(id);
        return;
    }
    m_questionRequests.insert(*key, PendingQuestionRequest{id, *request, {}});
    m_pendingQuestions.append(*request);
    Q_EMIT changed();
    setStatus(kWaitingAnswer);
    setResult(prompts(request->questions));
    if (onQuestion)
        onQuestion(*request);
}

Status CodexWorker::answerPendingQuestion(const QString& requestID, const CodexAnswers& answers)
{
    const auto found = m_questionRequests.find(requestID);
    if (found == m_questionRequests.end())
        return KestraboError::message(kNoLongerWaiting);
    PendingQuestionRequest& pending = *found;

    QStringList questionIDs;
    for (const CodexQuestion& question : pending.request.questions)
        questionIDs.append(question.id);
    if (answers.isEmpty())
        return KestraboError::message(kNoMatch);
    for (auto it = answers.constBegin(); it != answers.constEnd(); ++it) {
        if (!questionIDs.contains(it.key()))
            return KestraboError::message(kNoMatch);
    }
    for (auto it = answers.constBegin(); it != answers.constEnd(); ++it) {
        if (pending.answers.contains(it.key()))
            return KestraboError::message(kAlreadyAnswered);
        if (it.value().isEmpty())
            return KestraboError::message(kExplicitAnswer);
        for (const QString& answer : it.value()) {
            if (!text::hasContent(answer) || text::utf8Length(answer) > kMaxAnswerBytes)
                return KestraboError::message(kExplicitAnswer);
        }
    }
    for (auto it = answers.constBegin(); it != answers.constEnd(); ++it)
        pending.answers.insert(it.key(), it.value());

    QList<CodexQuestion> unanswered;
    for (const CodexQuestion& question : pending.request.questions) {
        if (!pending.answers.contains(question.id))
            unanswered.append(question);
    }
    if (!unanswered.isEmpty()) {
        setStatus(kWaitingAnswer);
        setResult(prompts(unanswered));
        return {};
    }
    const QUuid generation = m_generation;
    if (m_rpc)
        m_rpc->respond(pending.id, protocol::questionResponse(pending.answers));
    if (generation == m_generation)
        clearPendingQuestion(requestID);
    return {};
}

void CodexWorker::clearPendingQuestion(const QString& requestID)
{
    m_questionRequests.remove(requestID);
    QList<CodexQuestionRequest> remaining;
    for (const CodexQuestionRequest& request : m_pendingQuestions) {
        if (request.id != requestID)
            remaining.append(request);
    }
    publish(m_pendingQuestions, remaining);
    if (!m_pendingQuestions.isEmpty()) {
        QList<CodexQuestion> all;
        for (const CodexQuestionRequest& request : m_pendingQuestions)
            all.append(request.questions);
        setStatus(kWaitingAnswer);
        setResult(prompts(all));
    } else if (m_pendingApproval) {
        setStatus(kWaitingApproval);
    } else if (m_running) {
        setStatus(kWorking);
        setResult(agentText());
    }
}

void CodexWorker::requestReview(const QString& summary)
{
    if (!m_running)
        return;
    const QString text = cut(summary, maxResultCharacters);
    stop();
    publish(m_reviewRequested, true);
    setResult(text);
    setStatus(kReadyForReview);
    if (onReview)
        onReview(text);
}

} // namespace kestrabo
