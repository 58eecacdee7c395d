#pragma once

#include <QImage>
#include <QJsonArray>
#include <QObject>
#include <QString>

#include <functional>
#include <optional>
#include <vector>

namespace kestrabo {

class CodexComputerUseTransport;

// One task's handle on the computer it acts on through Codex Computer Use, with the latch that
// stops its computer actions for good: set when the user detaches the task or when Computer
// Use goes away (which also asks the user to review the task). Main thread only; emits
// `changed()` when a published field changes.
class BrowserWorkspace : public QObject {
    Q_OBJECT
public:
    // Without a transport the workspace uses the shared Computer Use client.
    explicit BrowserWorkspace(CodexComputerUseTransport* transport = nullptr, QObject* parent = nullptr);

    const QString& sessionID() const { return m_sessionID; }
    const QString& browserName() const { return m_browserName; }
    const std::optional<QImage>& preview() const { return m_preview; }
    const QString& status() const { return m_status; }
    bool manualControl() const { return m_manualControl; }
    bool workspaceReady() const { return m_workspaceReady; }
    CodexComputerUseTransport* transport() const { return m_transport; }
    quint64 generation() const { return m_generation; }
    bool toolsLocked() const { return m_toolsLocked; }
    int activeActions() const { return m_activeActions; }

    void setWorkspaceReady(bool ready);

    std::function<void(const QString&)> onReviewRequested;

    // Sets the latch; the status says so unless an earlier lock already said why.
    void lock();
    // Sets the latch, shows and reports the message, and returns the answer a computer-action
    // tool gives Codex once the workspace is locked.
    QJsonArray requestReview(const QString& message);

    // An action may begin only while unlocked; every begun action must end.
    bool beginAction();
    void endAction();
    // `done` runs once no action is in flight: at once, or when the last one ends.
    void waitForIdle(std::function<void()> done);

Q_SIGNALS:
    void changed();

private:
    void transportAvailabilityChanged(bool available);
    void setStatus(const QString& value);

    QString m_sessionID;
    QString m_browserName = QStringLiteral("Codex Computer Use");
    std::optional<QImage> m_preview;
    QString m_status = QStringLiteral("Codex Computer Use has not been checked.");
    bool m_manualControl = false;
    bool m_workspaceReady = false;
    CodexComputerUseTransport* m_transport = nullptr;
    quint64 m_generation = 0;
    bool m_toolsLocked = false;
    int m_activeActions = 0;
    std::vector<std::function<void()>> m_idleWaiters;
};

} // namespace kestrabo
