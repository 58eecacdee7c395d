#pragma once

#include "app/CompanionState.h"
#include "codex/CodexQuestion.h"
#include "core/Job.h"
#include "core/Pending.h"
#include "core/Publish.h"
#include "input/Hotkey.h"
#include "live/Protocol.h"
#include "platform/Platform.h"
#include "routing/RouteService.h"
#include "routing/ScreenContext.h"

#include <QElapsedTimer>
#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QRectF>
#include <QSet>
#include <QString>
#include <QUuid>

#include <functional>
#include <limits>
#include <memory>
#include <optional>

class QScreen;

namespace kestrabo {

class AudioEngine;
class ComputerTaskManager;
class ComputerTaskSession;
class CredentialStore;
class HotkeyController;
class LiveConnection;
class QuestionRelay;
struct LiveDiagnostics;
class SelectionController;
class TaskRoute;
class WakeWordListener;

// The one central object of the companion: owns every component, holds everything the island
// shows and runs the conversation. Lives on the main thread; emits `changed()` on every change
// of a published field and on every change of the task manager.
class AppModel : public QObject, public Publishes<AppModel> {
    Q_OBJECT
public:
    struct Options {
        bool enableShortcuts = true;
        bool loadCredentials = true;
    };

    AppModel(Options options, CredentialStore& credentialStore, Platform platform, QObject* parent = nullptr);
    ~AppModel() override;

    // Published fields.
    CompanionState state() const { return m_state; }
    bool expanded() const { return m_expanded; }
    bool settings() const { return m_settings; }
    const QString& apiKey() const { return m_apiKey; }
    bool keySaved() const { return m_keySaved; }
    const std::optional<QString>& credentialNotice() const { return m_credentialNotice; }
    float level() const { return m_level; }
    const QList<Caption>& captions() const { return m_captions; }
    const std::optional<QString>& error() const { return m_error; }
    const std::optional<QString>& audioNotice() const { return m_audioNotice; }
    const QString& voiceDiagnostics() const { return m_voiceDiagnostics; }
    const QString& gestureDiagnostics() const { return m_gestureDiagnostics; }
    const QString& contextLabel() const { return m_contextLabel; }
    const QString& findings() const { return m_findings; }
    bool selected() const { return m_selected; }
    bool shortcutAvailable() const { return m_shortcutAvailable; }
    bool inputMonitoringAllowed() const { return m_inputMonitoringAllowed; }
    bool accessibilityAllowed() const { return m_accessibilityAllowed; }
    HotkeyModifier shortcut() const { return m_shortcut; }
    bool screenAllowed() const { return m_screenAllowed; }
    bool screenPermissionChecking() const { return m_screenPermissionChecking; }
    bool screenPermissionUnavailable() const { return m_screenPermissionUnavailable; }
    const std::optional<QString>& screenPermissionNotice() const { return m_screenPermissionNotice; }
    bool microphoneAllowed() const { return m_microphoneAllowed; }
    double seconds() const { return m_seconds; }
    bool active() const { return m_active; }
    bool wakeWordEnabled() const { return m_wakeWordEnabled; }
    bool speechAllowed() const { return m_speechAllowed; }
    const QString& wakeWordStatus() const { return m_wakeWordStatus; }
    bool wakePermissionPending() const { return m_wakePermissionPending; }
    bool reading() const { return m_reading; }

    // Derived values.
    int runningTaskCount() const;
    QString liveUserSubtitle() const;
    QString liveAssistantSubtitle() const;
    // Looks for the Codex CLI afresh on every call.
    bool codexInstalled() const;

    // Settable by the views.
    void setExpanded(bool value);
    void setSettings(bool value);
    void setApiKey(const QString& value);
    void setWakeWordEnabled(bool value);
    void setShortcut(HotkeyModifier value);
    void setError(const std::optional<QString>& text) { publish(m_error, text); }
    // The look of one preview variant ("settings", "ready", "conversation", "collapsed"),
    // without a conversation behind it.
    void showPreview(const QString& variant);

    // Operations.
    void toggle();
    void stop();
    void quit();
    void refreshPermissions();
    void requestMicrophoneAccess();
    void requestScreenAccess();
    void requestWakeAccess();
    bool persistCurrentKey();
    void removeAPIKey();
    void clearSelection();
    // The desktop's settings for one privacy anchor ("Privacy_Microphone", …).
    void openPrivacyPane(const QString& anchor);
    // A region circled on `screen`, in the display's points (origin lower-left).
    void circle(QScreen* screen, const QRectF& rect);

    void receive(const QJsonObject& event);
    void fail(const QString& message);
    void wake();

    // One line per computer task: title, state and the worker's status.
    QString taskContext() const;

    // The text given to the voice model about a task's browser; `target` names the task.
    QString showBrowser(const std::optional<QString>& target) const;

    // Takes a task over for the user's review, from its card.
    void reviewTask(ComputerTaskSession* session);
    const TaskRoute& taskRoute() const { return *m_taskRoute; }
    // From the task card: a full answer set for a Codex question request, or the held approval.
    Status answerTaskQuestion(ComputerTaskSession* session, const QString& requestID, const CodexAnswers& answers);
    Status allowTaskApproval(ComputerTaskSession* session);
    QuestionRelay& questionRelay() { return *m_questionRelay; }

    const QString& lastRoutedText() const { return m_lastRoutedText; }
    std::optional<QuestionRoute> lastRoutedKind() const { return m_lastRoutedKind; }

    // Asks the application to terminate; set once by the application entry.
    std::function<void()> onTerminate;

    // Owned components.
    LiveConnection& live() { return *m_live; }
    AudioEngine& audio() { return *m_audio; }
    WakeWordListener& wakeListener() { return *m_wakeListener; }
    HotkeyController& hotkey() { return *m_hotkey; }
    SelectionController& selection() { return *m_selection; }
    ComputerTaskManager& taskManager() { return *m_taskManager; }

    bool shuttingDown() const { return m_shuttingDown; }
    bool wakeGreetingPending() const { return m_wakeGreetingPending; }
    const TranscriptLedger& ledger() const { return m_ledger; }
    const QSet<QString>& pendingDelegations() const { return m_pendingDelegations; }
    const QUuid& generation() const { return m_generation; }
    const std::optional<ScreenSnapshot>& snapshot() const { return m_snapshot; }
    const std::optional<QByteArray>& selectedCrop() const { return m_selectedCrop; }

    static QString renderDiagnostics(const LiveDiagnostics& diagnostics);

Q_SIGNALS:
    void changed();

private:

    void wireComponents();
    void wireTasks();
    void loadStoredKey();
    void applyStoredShortcut();
    void handlePlaybackState(bool playing);
    void updateWakeListening();
    void stopWakeListening();
    void retryShortcutIfNeeded();
    void scheduleShortcutAttempt(const Job& job, int delayMs, bool last);
    void startScreenAccessCheck();
    void refreshDevicePermissions();
    void invalidateScreenAnalysis();
    bool isCurrent(const Job& job, const QUuid& token) const;
    void setState(CompanionState value) { publish(m_state, value); }
    void sessionStarted();
    // Context reaches the voice model only while the session runs; otherwise it is dropped.
    void sendContext(const QList<QJsonObject>& events);
    void userSpoke(const QJsonObject& event);
    void scheduleAnalysis();
    void startCapture();
    bool analysisCurrent(const Job& job, const QUuid& token) const;
    void analyse(const Job& job, const QUuid& token);
    void analyseRequest(const Job& job, const QUuid& token, const QString& text);
    void classify(const Job& job, const QUuid& token, const QString& text, std::optional<ScreenSnapshot> snapshot);
    void route(const Job& job, const QUuid& token, const QString& text, const RouteDecision& decision);
    void routeTask(const Job& job, const QUuid& token, const QString& text, const RouteDecision& decision);
    void startTasks(const QStringList& tasks, const QString& context, const QString& text, const QUuid& token);
    void taskFinished(ComputerTaskSession* session, bool review);
    void endAnalysis(const Job& job, const QUuid& token);
    void readScreen(const QString& question, const Job& job, const QUuid& token,
                    std::function<void(Result<QString>)> done);
    void describeScreen(const QString& question, const Job& job, const QUuid& token, const ScreenSnapshot& snapshot,
                        std::function<void(Result<QString>)> done);
    void finishDelegations(const QString& text);
    // Answers the waiting delegations with `text`, or says it as context when none waits.
    void answerOrSay(const QString& text, bool speak);
    void observeWorkerQuestionOutput();
    void rebuildWorkerQuestionQueue();
    void presentNextWorkerQuestion();

    const Options m_options;
    CredentialStore& m_credentialStore;
    const Platform m_platform;
    const std::function<bool()> m_codexInstalled;

    CompanionState m_state = CompanionState::idle;
    bool m_expanded = false;
    bool m_settings = false;
    QString m_apiKey;
    // The trimmed key that started the conversation: every request of it uses this one.
    QString m_conversationKey;
    bool m_keySaved = false;
    std::optional<QString> m_credentialNotice;
    float m_level = 0;
    QList<Caption> m_captions;
    std::optional<QString> m_error;
    std::optional<QString> m_audioNotice;
    QString m_voiceDiagnostics;
    QString m_gestureDiagnostics;
    QString m_contextLabel;
    QString m_findings;
    bool m_selected = false;
    bool m_shortcutAvailable = false;
    bool m_inputMonitoringAllowed = false;
    bool m_accessibilityAllowed = false;
    HotkeyModifier m_shortcut = HotkeyModifier::rightShift;
    bool m_screenAllowed = false;
    bool m_screenPermissionChecking = false;
    bool m_screenPermissionUnavailable = false;
    std::optional<QString> m_screenPermissionNotice;
    bool m_microphoneAllowed = false;
    double m_seconds = 0;
    bool m_active = false;
    bool m_wakeWordEnabled = true;
    bool m_speechAllowed = false;
    QString m_wakeWordStatus;
    bool m_wakePermissionPending = false;
    bool m_reading = false;

    WakeWordListener* m_wakeListener = nullptr;
    LiveConnection* m_live = nullptr;
    AudioEngine* m_audio = nullptr;
    HotkeyController* m_hotkey = nullptr;
    SelectionController* m_selection = nullptr;
    ComputerTaskManager* m_taskManager = nullptr;
    std::unique_ptr<TaskRoute> m_taskRoute;
    QuestionRelay* m_questionRelay = nullptr;

    bool m_shuttingDown = false;
    bool m_wakeGreetingPending = false;
    std::optional<QString> m_savedKey;
    QUuid m_generation;
    Job m_pendingStart;
    Job m_selectionTask;
    std::optional<ScreenSnapshot> m_snapshot;
    std::optional<QByteArray> m_selectedCrop;
    Job m_permissionTask;
    QUuid m_permissionGeneration;
    Job m_shortcutRetryTask;
    double m_lastInputEnd = -std::numeric_limits<double>::infinity();
    TranscriptLedger m_ledger;
    QSet<QString> m_handled;
    QSet<QString> m_pendingDelegations;
    QString m_lastRoutedText;
    std::optional<QuestionRoute> m_lastRoutedKind;
    QString m_lastBrowserAcknowledgment;
    // Monotonic; invalid means "never".
    QElapsedTimer m_lastUserArrival;
    Job m_analysisTask;
    // The display captured for the current utterance, shared with the analysis that awaits it.
    struct CaptureTask {
        Job job;
        Pending<Result<ScreenSnapshot>> value;
    };
    std::optional<CaptureTask> m_captureTask;
};

} // namespace kestrabo
