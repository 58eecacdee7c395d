#include "app/QuestionRelay.h"

#include "codex/CodexRPC.h"
#include "codex/CodexWorker.h"
#include "core/Text.h"
#include "routing/WorkerAnswerService.h"
#include "tasks/ComputerTask.h"

#include <QPointer>

namespace kestrabo {

QuestionRelay::QuestionRelay(ComputerTaskManager& manager, Hooks hooks, QObject* parent)
    : QObject(parent), m_manager(manager), m_hooks(std::move(hooks))
{
}

const CodexQuestionRequest* QuestionRelay::pendingRequest(ComputerTaskSession* session, const QString& requestID) const
{
    if (!session)
        return nullptr;
    for (const CodexQuestionRequest& request : session->worker().pendingQuestions()) {
        if (request.id == requestID)
            return &request;
    }
    return nullptr;
}

std::optional<CodexQuestion> QuestionRelay::pendingQuestion(const WorkerQuestionEnvelope& envelope) const
{
    const CodexQuestionRequest* request = pendingRequest(m_manager.session(envelope.taskID), envelope.requestID);
    if (!request)
        return std::nullopt;
    for (const CodexQuestion& question : request->questions) {
        if (question.id == envelope.questionID)
            return question;
    }
    return std::nullopt;
}

void QuestionRelay::enqueue(ComputerTaskSession* session, const CodexQuestionRequest& request)
{
    if (std::any_of(request.questions.begin(), request.questions.end(), [](const CodexQuestion& q) { return q.isSecret; }))
        return;
    const auto filed = m_answers.find({session->id(), request.id});
    for (const CodexQuestion& question : request.questions) {
        if (filed != m_answers.end() && filed->second.contains(question.id))
            continue;
        WorkerQuestionEnvelope envelope{session->id(), session->title(), request.id, question.id, question.prompt, {}};
        for (const CodexQuestionOption& option : question.options)
            envelope.options.append(option.label);
        if (!text::hasContent(envelope.taskTitle) || !text::hasContent(envelope.requestID)
            || !text::hasContent(envelope.questionID) || !text::hasContent(envelope.prompt))
            continue;
        if (m_active == envelope || m_queue.contains(envelope))
            continue;
        m_queue.append(envelope);
    }
}

void QuestionRelay::presentNext()
{
    if (!m_hooks.active() || m_active)
        return;
    while (!m_queue.isEmpty()) {
        const WorkerQuestionEnvelope envelope = m_queue.takeFirst();
        if (!pendingQuestion(envelope))
            continue;
        m_active = envelope;
        m_outputObserved = false;
        m_answerReady = false;
        ask(envelope);
        return;
    }
}

// Asks the active question, or puts it back in front to be asked at the next chance.
void QuestionRelay::ask(const WorkerQuestionEnvelope& envelope)
{
    if (m_hooks.canSend() && envelope.isValid()) {
        m_hooks.send(LiveProtocol::workerQuestionContext(envelope));
        if (onAsked)
            onAsked(envelope);
        return;
    }
    m_active.reset();
    m_queue.prepend(envelope);
}

void QuestionRelay::rebuild()
{
    m_queue.clear();
    clearActive();
    std::map<WorkerRequestKey, CodexAnswers> kept;
    for (ComputerTaskSession* session : m_manager.sessions()) {
        for (const CodexQuestionRequest& request : session->worker().pendingQuestions()) {
            const auto filed = m_answers.find({session->id(), request.id});
            if (filed != m_answers.end())
                kept.insert(*filed);
        }
    }
    m_answers = std::move(kept);
    for (ComputerTaskSession* session : m_manager.sessions()) {
        for (const CodexQuestionRequest& request : session->worker().pendingQuestions())
            enqueue(session, request);
    }
}

void QuestionRelay::observeOutput()
{
    if (!m_active || m_answerReady)
        return;
    m_outputObserved = true;
    m_armTask.cancel();
    m_armTask = Job::start();
    m_armTask.after(m_armDelayMs, this, [this] {
        if (m_active && m_outputObserved)
            m_answerReady = true;
    });
}

void QuestionRelay::playbackStopped()
{
    if (!m_active || !m_outputObserved || m_answerReady)
        return;
    m_armTask.cancel();
    m_answerReady = true;
}

void QuestionRelay::route(const QString& text, const QUuid& token, const Job& job, std::function<void(bool)> done)
{
    if (!m_answerReady || !m_active || !pendingQuestion(*m_active)) {
        done(false);
        return;
    }
    const WorkerQuestionEnvelope envelope = *m_active;
    QPointer<QuestionRelay> self(this);
    WorkerAnswerService::classify(
        text, envelope, m_hooks.apiKey(), job,
        [self, token, job, envelope, done](Result<WorkerAnswerDecision> decision) {
            if (!self)
                return;
            if (!decision) {
                if (!decision.error().isCancellation()) {
                    self->m_hooks.setError(decision.error().description());
                    self->say(QStringLiteral("I couldn't safely match that response to the waiting Codex question. "
                                             "Please repeat the answer, or type it in the task card."));
                }
                done(true);
                return;
            }
            // A late classification must not file an answer for a question that was replaced.
            if (job.isCancelled() || self->m_hooks.generation() != token || self->m_active != envelope) {
                done(true);
                return;
            }
            switch (decision.value().kind) {
            case WorkerAnswerKind::answer:
                self->accept(decision.value().answer, envelope);
                done(true);
                return;
            case WorkerAnswerKind::unrelated:
                done(false);
                return;
            case WorkerAnswerKind::ambiguous:
                self->m_armTask.cancel();
                self->m_answerReady = false;
                self->m_outputObserved = false;
                self->ask(envelope);
                done(true);
                return;
            }
        });
}

void QuestionRelay::accept(const QString& answer, const WorkerQuestionEnvelope& envelope)
{
    ComputerTaskSession* session = m_manager.session(envelope.taskID);
    const CodexQuestionRequest* request = pendingRequest(session, envelope.requestID);
    if (!request) {
        clear(envelope.taskID, envelope.requestID);
        presentNext();
        return;
    }
    const WorkerRequestKey key{envelope.taskID, envelope.requestID};
    CodexAnswers& filed = m_answers[key];
    filed.insert(envelope.questionID, {answer});
    if (onAnswered)
        onAnswered(envelope, answer);
    clearActive();
    const bool complete = std::all_of(request->questions.begin(), request->questions.end(),
                                      [&](const CodexQuestion& q) { return filed.contains(q.id); });
    if (!complete) {
        enqueue(session, *request);
        presentNext();
        return;
    }
    const CodexAnswers all = filed;
    answerTaskQuestion(session, envelope.requestID, all);
}

Status QuestionRelay::answerTaskQuestion(ComputerTaskSession* session, const QString& requestID,
                                         const CodexAnswers& answers)
{
    const Status sent = session->worker().answerPendingQuestion(requestID, answers);
    if (!sent) {
        m_hooks.setError(sent.error().description());
        m_hooks.expand();
        return sent;
    }
    clear(session->id(), requestID);
    m_hooks.setError(std::nullopt);
    presentNext();
    return {};
}

Status QuestionRelay::allowTaskApproval(ComputerTaskSession* session)
{
    const Status allowed = session->allowPendingApproval();
    if (!allowed) {
        m_hooks.setError(allowed.error().description());
        m_hooks.expand();
        return allowed;
    }
    m_hooks.setError(std::nullopt);
    return {};
}

void QuestionRelay::clear(const QUuid& taskID, const QString& requestID)
{
    m_answers.erase({taskID, requestID});
    m_queue.removeIf([&](const WorkerQuestionEnvelope& e) { return e.taskID == taskID && e.requestID == requestID; });
    if (m_active && m_active->taskID == taskID && m_active->requestID == requestID)
        clearActive();
}

void QuestionRelay::clear(const QUuid& taskID)
{
    std::erase_if(m_answers, [&](const auto& entry) { return entry.first.taskID == taskID; });
    m_queue.removeIf([&](const WorkerQuestionEnvelope& e) { return e.taskID == taskID; });
    if (m_active && m_active->taskID == taskID)
        clearActive();
    presentNext();
}

void QuestionRelay::conversationEnded()
{
    m_queue.clear();
    clearActive();
}

void QuestionRelay::clearActive()
{
    m_active.reset();
    m_outputObserved = false;
    m_answerReady = false;
    m_armTask.cancel();
}

void QuestionRelay::say(const QString& text)
{
    if (m_hooks.canSend())
        m_hooks.send(LiveProtocol::appends(text, std::nullopt, true));
}

} // namespace kestrabo
