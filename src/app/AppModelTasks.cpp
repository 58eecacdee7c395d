// Computer tasks as the companion sees them: starting a request's tasks, hearing about their
// ends and reviews, and taking one over for the user.

#include "app/AppModel.h"

#include "app/QuestionRelay.h"
#include "app/TaskRoute.h"
#include "live/LiveConnection.h"
#include "tasks/ComputerTask.h"

#include <QPointer>

namespace kestrabo {

void AppModel::wireTasks()
{
    // The model owns the route and outlives every call into it.
    m_taskRoute = std::make_unique<TaskRoute>(
        *m_taskManager,
        TaskRoute::Hooks{
            .active = [this] { return m_active; },
            .generation = [this] { return m_generation; },
            .say = [this](const QString& text, const std::optional<QString>& delegation) {
                if (m_active)
                    sendContext(LiveProtocol::appends(text, delegation, true));
            }});
    m_questionRelay = new QuestionRelay(
        *m_taskManager,
        QuestionRelay::Hooks{
            .active = [this] { return m_active; },
            .generation = [this] { return m_generation; },
            .send = [this](const QList<QJsonObject>& events) { sendContext(events); },
            .canSend = [this] { return m_live->isReady() && !m_live->isClosing(); },
            .apiKey = [this] { return m_conversationKey; },
            .setError = [this](const std::optional<QString>& text) { publish(m_error, text); },
            .expand = [this] { setExpanded(true); }},
        this);
    QPointer<AppModel> self(this);
    m_taskManager->onQuestion = [self](ComputerTaskSession* session, const CodexQuestionRequest& request) {
        if (!self)
            return;
        self->setExpanded(true);
        self->m_questionRelay->enqueue(session, request);
        self->presentNextWorkerQuestion();
    };
    m_taskManager->onResult = [self](ComputerTaskSession* session, const QString&) {
        if (self)
            self->taskFinished(session, false);
    };
    m_taskManager->onReview = [self](ComputerTaskSession* session, const QString&) {
        if (self)
            self->taskFinished(session, true);
    };
}

void AppModel::startTasks(const QStringList& tasks, const QString& context, const QString& text, const QUuid& token)
{
    m_lastRoutedText = text;
    const QString confirmation = m_taskRoute->start(tasks, context, m_apiKey, m_pendingDelegations, token);
    m_pendingDelegations.clear();
    sendContext(LiveProtocol::appends(confirmation, std::nullopt, true));
}

void AppModel::taskFinished(ComputerTaskSession* session, bool review)
{
    setExpanded(true);
    if (!isActive(session->state()))
        m_questionRelay->clear(session->id());
    m_taskRoute->taskFinished(session, review);
}

Status AppModel::answerTaskQuestion(ComputerTaskSession* session, const QString& requestID, const CodexAnswers& answers)
{
    return m_questionRelay->answerTaskQuestion(session, requestID, answers);
}

Status AppModel::allowTaskApproval(ComputerTaskSession* session)
{
    return m_questionRelay->allowTaskApproval(session);
}

void AppModel::reviewTask(ComputerTaskSession* session)
{
    setSettings(false);
    setExpanded(true);
    QPointer<ComputerTaskSession> target(session);
    post(this, [target] {
        if (target)
            target->takeOver();
    });
}

} // namespace kestrabo
