#include "app/TaskRoute.h"

#include "codex/CodexRPC.h"
#include "codex/CodexWorker.h"
#include "core/Text.h"
#include "tasks/ComputerTask.h"

#include <QLocale>

namespace kestrabo {

TaskRoute::TaskRoute(ComputerTaskManager& manager, Hooks hooks) : m_manager(manager), m_hooks(std::move(hooks)) {}

QString TaskRoute::start(const QStringList& tasks, const QString& context, const QString& apiKey,
                         const QSet<QString>& delegationIDs, const QUuid& token)
{
    const QUuid id = QUuid::createUuid();
    m_lastBatchID = id;
    TaskBatch& batch = m_batches[id];
    batch.voiceSessionID = token;
    batch.delegationIDs = delegationIDs;
    for (const QString& task : tasks) {
        ComputerTaskSession* session = m_manager.start(task, context, apiKey, delegationIDs, token);
        batch.sessionIDs.insert(session->id());
        m_sessionBatches.insert(session->id(), id);
    }
    const qsizetype count = tasks.size();
    return QStringLiteral("Started ") + QString::number(count) + QStringLiteral(" computer task")
        + (count == 1 ? QString() : QStringLiteral("s"))
        + QStringLiteral(" using your normal Codex installation and account. Existing tasks continue. You can keep "
                         "talking. Manual review is required before submission.");
}

const TaskBatch* TaskRoute::batch(const QUuid& id) const
{
    const auto it = m_batches.constFind(id);
    return it == m_batches.constEnd() ? nullptr : &*it;
}

QList<ComputerTaskSession*> TaskRoute::sessionsOf(const TaskBatch& batch) const
{
    QList<ComputerTaskSession*> sessions;
    for (ComputerTaskSession* session : m_manager.sessions()) {
        if (batch.sessionIDs.contains(session->id()))
            sessions.append(session);
    }
    return sessions;
}

void TaskRoute::link(const QSet<QString>& delegationIDs, const QUuid& batchID)
{
    const auto it = m_batches.find(batchID);
    if (it == m_batches.end() || it->voiceSessionID != m_hooks.generation())
        return;
    if (it->reported) {
        if (m_hooks.active()) {
            const QString text = summary(*it);
            for (const QString& id : delegationIDs)
                m_hooks.say(text, id);
        }
        return;
    }
    it->delegationIDs |= delegationIDs;
    for (ComputerTaskSession* session : sessionsOf(*it))
        session->addDelegationIDs(delegationIDs);
    reportIfReady(batchID);
}

void TaskRoute::taskFinished(ComputerTaskSession* session, bool review)
{
    const auto batchID = m_sessionBatches.constFind(session->id());
    if (batchID == m_sessionBatches.constEnd())
        return;
    if (review && m_hooks.active() && session->voiceSessionID() == m_hooks.generation()) {
        m_hooks.say(session->worker().approvalPending()
                        ? QStringLiteral("Task ") + session->title()
                            + QStringLiteral(" needs your approval. Choose Allow once or Don't allow in its task card. "
                                             "Other tasks continue.")
                        : QStringLiteral("Task ") + session->title()
                            + QStringLiteral(" needs your review. Choose its Review button. Other tasks continue. No "
                                             "submission was made."),
                    std::nullopt);
    }
    reportIfReady(*batchID);
}

void TaskRoute::reportIfReady(const QUuid& batchID)
{
    const auto it = m_batches.find(batchID);
    if (it == m_batches.end() || it->reported || it->sessionIDs.isEmpty())
        return;
    const QList<ComputerTaskSession*> sessions = sessionsOf(*it);
    if (sessions.size() != it->sessionIDs.size())
        return;
    for (const ComputerTaskSession* session : sessions) {
        if (isActive(session->state()))
            return;
    }
    it->reported = true;
    if (!m_hooks.active() || it->voiceSessionID != m_hooks.generation())
        return;
    const QString text = summary(*it);
    if (it->delegationIDs.isEmpty()) {
        m_hooks.say(text, std::nullopt);
        return;
    }
    for (const QString& id : std::as_const(it->delegationIDs))
        m_hooks.say(text, id);
}

QString TaskRoute::summary(const TaskBatch& batch) const
{
    QStringList lines;
    for (const ComputerTaskSession* session : sessionsOf(batch)) {
        const QString detail = session->outcome().value_or(session->worker().result());
        lines.append(QStringLiteral("Task ") + session->title() + QStringLiteral(", ") + rawValue(session->state())
                     + QStringLiteral(": ") + text::graphemePrefix(detail, maxTaskSummaryCharacters));
    }
    return text::graphemePrefix(
        lines.join(QLatin1Char('\n'))
            + QStringLiteral("\nFull results are in each task card. Review is required before submission."),
        maxSummaryCharacters);
}

QString TaskRoute::showBrowser(const std::optional<QString>& target) const
{
    const QList<ComputerTaskSession*>& sessions = m_manager.sessions();
    const QString wanted = target ? text::trimmed(*target) : QString();
    if (wanted.isEmpty()) {
        if (sessions.isEmpty())
            return QStringLiteral("There is no Codex task to show yet.");
    } else {
        const QLocale locale = QLocale::system();
        const QString folded = locale.toLower(wanted);
        QList<const ComputerTaskSession*> exact, partial;
        for (const ComputerTaskSession* session : sessions) {
            const QString title = locale.toLower(session->title());
            if (title == folded)
                exact.append(session);
            else if (title.contains(folded))
                partial.append(session);
        }
        const qsizetype matches = exact.isEmpty() ? partial.size() : exact.size();
        if (matches == 0)
            return QStringLiteral("No task named ") + wanted
                + QStringLiteral(" was found. Ask which task's browser to show.");
        if (matches > 1)
            return QStringLiteral("Several tasks match ") + wanted
                + QStringLiteral(". Ask the user to choose one in the task list.");
    }
    return QStringLiteral("Codex uses your existing apps and does not create a separate task browser tab.");
}

} // namespace kestrabo
