#include "tasks/BrowserWorkspace.h"

#include "codex/CodexComputerUseClient.h"

#include <QJsonObject>
#include <QUuid>

namespace kestrabo {

BrowserWorkspace::BrowserWorkspace(CodexComputerUseTransport* transport, QObject* parent)
    : QObject(parent), m_sessionID(QUuid::createUuid().toString(QUuid::WithoutBraces)),
      m_transport(transport ? transport : &CodexComputerUseClient::shared())
{
    // Only later changes count; the connection ends with this workspace.
    if (auto* client = dynamic_cast<CodexComputerUseClient*>(m_transport)) {
        QObject::connect(client, &CodexComputerUseClient::availableChanged, this,
                         &BrowserWorkspace::transportAvailabilityChanged);
    }
}

void BrowserWorkspace::transportAvailabilityChanged(bool available)
{
    if (available || !m_workspaceReady || m_toolsLocked)
        return;
    requestReview(QStringLiteral("Codex Computer Use disconnected. This task's computer actions are stopped."));
}

void BrowserWorkspace::setStatus(const QString& value)
{
    if (value == m_status)
        return;
    m_status = value;
    Q_EMIT changed();
}

void BrowserWorkspace::setWorkspaceReady(bool ready)
{
    if (ready == m_workspaceReady)
        return;
    m_workspaceReady = ready;
    Q_EMIT changed();
}

void BrowserWorkspace::lock()
{
    ++m_generation;
    if (!m_toolsLocked)
        setStatus(QStringLiteral("Task control stopped"));
    m_toolsLocked = true;
}

QJsonArray BrowserWorkspace::requestReview(const QString& message)
{
    m_toolsLocked = true;
    ++m_generation;
    setStatus(message);
    if (onReviewRequested)
        onReviewRequested(message);
    return QJsonArray{QJsonObject{
        {QStringLiteral("type"), QStringLiteral("inputText")},
        {QStringLiteral("text"), QStringLiteral("MANUAL_REVIEW_REQUIRED: ") + message
                                     + QStringLiteral(" This task's computer actions are stopped.")}}};
}

bool BrowserWorkspace::beginAction()
{
    if (m_toolsLocked)
        return false;
    ++m_activeActions;
    return true;
}

void BrowserWorkspace::endAction()
{
    if (m_activeActions < 1)
        return;
    if (--m_activeActions > 0)
        return;
    auto waiters = std::move(m_idleWaiters);
    m_idleWaiters.clear();
    for (auto& waiter : waiters)
        waiter();
}

void BrowserWorkspace::waitForIdle(std::function<void()> done)
{
    if (m_activeActions < 1) {
        if (done)
            done();
        return;
    }
    m_idleWaiters.push_back(std::move(done));
}

} // namespace kestrabo
