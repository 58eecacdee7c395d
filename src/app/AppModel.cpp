#include "app/AppModel.h"

#include "core/Json.h"
#include "core/Text.h"
#include "input/SelectionController.h"
#include "input/WakeWordListener.h"
#include "live/AudioEngine.h"
#include "live/LiveConnection.h"
#include "platform/SystemAccess.h"
#include "system/CredentialStore.h"
#include "system/Permissions.h"
#include "app/QuestionRelay.h"
#include "app/TaskRoute.h"
#include "codex/CodexRPC.h"
#include "codex/CodexWorker.h"
#include "tasks/ComputerTask.h"

#include <QPointer>
#include <QSettings>

namespace kestrabo {

namespace {

const QString kContextOff = QStringLiteral("Screen context is off until you start");
const QString kMicrophoneRefused =
    QStringLiteral("Allow Microphone access in the system settings, then start again.");
const QString kContextCurrentDisplay = QStringLiteral("Your current display is included with each question");
const QString kCapturingSelection = QStringLiteral("Capturing your selection");
const QString kSelectionReady = QStringLiteral("Circled region ready. Ask about it.");
const QString kNewRegionNotice =
    QStringLiteral("The user circled a new region. Screen questions require fresh findings from the client.");
const char* const kWakeWordKey = "wakeWordEnabled";
const char* const kShortcutKey = "conversationShortcut";

// Preferences written by QSettings come back as text; anything but a boolean or its text is
// treated as absent.
std::optional<bool> storedBool(const QVariant& value)
{
    if (value.typeId() == QMetaType::Bool)
        return value.toBool();
    if (value.typeId() == QMetaType::QString) {
        if (value.toString() == u"true")
            return true;
        if (value.toString() == u"false")
            return false;
    }
    return std::nullopt;
}

} // namespace

AppModel::AppModel(Options options, CredentialStore& credentialStore, Platform platform, QObject* parent)
    : QObject(parent), m_options(options), m_credentialStore(credentialStore), m_platform(platform),
      m_codexInstalled(platform.codexInstalled ? platform.codexInstalled : [] { return false; }),
      m_contextLabel(kContextOff),
      m_wakeWordStatus(QStringLiteral("Allow Microphone access to use Hey, kestrabo.")),
      m_generation(QUuid::createUuid()), m_permissionGeneration(QUuid::createUuid())
{
    Q_ASSERT(m_platform.access && m_platform.preferences);
    SystemAccess& access = *m_platform.access;
    m_inputMonitoringAllowed = access.listenEventAllowed();
    m_accessibilityAllowed = access.accessibilityTrusted();
    m_screenAllowed = access.screenCapturePreflight();
    m_microphoneAllowed = access.microphoneAuthorized();
    m_speechAllowed = access.speechAuthorization() == SpeechAuthorization::authorized;
    m_wakeWordEnabled = storedBool(m_platform.preferences->value(QLatin1String(kWakeWordKey))).value_or(true);

    m_wakeListener = new WakeWordListener(m_platform.access, m_platform.speechRecognizer, this);
    m_live = new LiveConnection(this);
    m_audio = new AudioEngine(m_platform.audioDevice, this);
    m_hotkey = new HotkeyController(m_platform.keys, this);
    m_selection = new SelectionController(this);
    m_taskManager = new ComputerTaskManager(this);
    wireComponents();

    if (m_options.loadCredentials)
        loadStoredKey();
    applyStoredShortcut();
    if (m_options.enableShortcuts)
        publish(m_shortcutAvailable, m_hotkey->install());
    publish(m_inputMonitoringAllowed, access.listenEventAllowed());
    if (m_options.enableShortcuts)
        refreshPermissions();
}

AppModel::~AppModel()
{
    m_pendingStart.cancel();
    m_analysisTask.cancel();
    if (m_captureTask)
        m_captureTask->job.cancel();
    m_selectionTask.cancel();
    m_permissionTask.cancel();
    m_shortcutRetryTask.cancel();
}

void AppModel::wireComponents()
{
    QPointer<AppModel> self(this);
    m_wakeListener->onWake = [self] {
        if (self)
            self->wake();
    };
    m_wakeListener->onStatus = [self](const QString& text) {
        if (self)
            self->publish(self->m_wakeWordStatus, text);
    };
    QObject::connect(m_taskManager, &ComputerTaskManager::changed, this, &AppModel::changed);
    wireTasks();

    m_live->onEvent = [self](const QJsonObject& event) {
        if (self)
            self->receive(event);
    };
    m_live->onFailure = [self](const QString& text) {
        if (self)
            self->fail(text);
    };
    m_live->onDiagnostics = [self](const LiveDiagnostics& diagnostics) {
        if (self)
            self->publish(self->m_voiceDiagnostics, renderDiagnostics(diagnostics));
    };

    m_audio->onAudio = [self](const QByteArray& data) {
        if (self)
            self->m_live->audio(data);
    };
    m_audio->onLevel = [self](float value) {
        if (self)
            self->publish(self->m_level, value);
    };
    m_audio->onPlaybackState = [self](bool playing) {
        if (self)
            self->handlePlaybackState(playing);
    };
    m_audio->onFailure = [self](const QString& text) {
        if (self)
            self->fail(text);
    };
    m_audio->onNotice = [self](const QString& text) {
        if (self)
            self->publish(self->m_audioNotice, text.isEmpty() ? std::nullopt : std::optional<QString>(text));
    };

    m_hotkey->onAvailability = [self](bool available) {
        if (self)
            self->publish(self->m_shortcutAvailable, available);
    };
    m_hotkey->onDiagnostic = [self](const QString& text) {
        if (self)
            self->publish(self->m_gestureDiagnostics, text);
    };
    m_hotkey->onTap = [self] {
        if (self)
            self->toggle();
    };
    m_hotkey->onHold = [self] {
        if (self)
            self->m_selection->show();
    };
    m_hotkey->onRelease = [self] {
        if (self)
            self->m_selection->finish();
    };
    m_hotkey->onCancel = [self] {
        if (self)
            self->m_selection->cancel();
    };
    m_selection->onSelection = [self](QScreen* screen, const QRectF& rect) {
        if (self)
            self->circle(screen, rect);
    };
}

void AppModel::loadStoredKey()
{
    const Result<std::optional<QString>> loaded = m_credentialStore.load();
    if (!loaded) {
        publish(m_credentialNotice, std::optional<QString>(loaded.error().description()));
        return;
    }
    if (const std::optional<QString>& key = loaded.value()) {
        publish(m_apiKey, *key);
        m_savedKey = *key;
        publish(m_keySaved, true);
    }
}

void AppModel::applyStoredShortcut()
{
    const QVariant stored = m_platform.preferences->value(QLatin1String(kShortcutKey));
    const HotkeyModifier modifier =
        (stored.typeId() == QMetaType::QString ? hotkeyModifierFromRawValue(stored.toString()) : std::nullopt)
            .value_or(HotkeyModifier::rightShift);
    setShortcut(modifier);
    // Written back even when unchanged, so a stray value never survives a launch.
    m_platform.preferences->setValue(QLatin1String(kShortcutKey), rawValue(modifier));
}

QString AppModel::renderDiagnostics(const LiveDiagnostics& d)
{
    return QStringLiteral("Sent %1 chunks, %2 bytes. Received %3 chunks, %4 bytes. Last event: %5")
        .arg(d.inputChunks)
        .arg(d.inputBytes)
        .arg(d.outputChunks)
        .arg(d.outputBytes)
        .arg(d.lastEventType);
}

int AppModel::runningTaskCount() const
{
    int count = 0;
    for (const ComputerTaskSession* session : m_taskManager->sessions())
        count += isActive(session->state()) ? 1 : 0;
    return count;
}

QString AppModel::liveUserSubtitle() const
{
    for (auto it = m_captions.crbegin(); it != m_captions.crend(); ++it) {
        if (it->speaker == u"You")
            return it->text;
    }
    return QString();
}

QString AppModel::liveAssistantSubtitle() const
{
    for (auto it = m_captions.crbegin(); it != m_captions.crend(); ++it) {
        if (it->speaker == u"Kestrabo")
            return it->text;
    }
    return QString();
}

void AppModel::setExpanded(bool value) { publish(m_expanded, value); }
void AppModel::setSettings(bool value) { publish(m_settings, value); }
void AppModel::setApiKey(const QString& value) { publish(m_apiKey, value); }

void AppModel::setWakeWordEnabled(bool value)
{
    publish(m_wakeWordEnabled, value);
    m_platform.preferences->setValue(QLatin1String(kWakeWordKey), value);
    updateWakeListening();
}

void AppModel::setShortcut(HotkeyModifier value)
{
    publish(m_shortcut, value);
    m_hotkey->setModifier(value);
    m_platform.preferences->setValue(QLatin1String(kShortcutKey), rawValue(value));
}

bool AppModel::isCurrent(const Job& job, const QUuid& token) const
{
    return !job.isCancelled() && token == m_generation;
}

void AppModel::toggle()
{
    setExpanded(true);
    if (m_active) {
        stop();
        return;
    }
    const QString key = text::trimmed(m_apiKey);
    if (key.isEmpty()) {
        setSettings(true);
        return;
    }
    if (!m_savedKey || *m_savedKey != key) {
        if (!persistCurrentKey()) {
            setSettings(true);
            return;
        }
    }
    stopWakeListening();

    m_conversationKey = key;
    publish(m_active, true);
    setState(CompanionState::connecting);
    publish(m_error, std::optional<QString>());
    publish(m_audioNotice, std::optional<QString>());
    publish(m_voiceDiagnostics, QStringLiteral("Starting voice connection"));
    publish(m_findings, QString());
    publish(m_seconds, 0.0);
    updateWakeListening();

    m_ledger = TranscriptLedger(TranscriptLedger::defaultRetention);
    publish(m_captions, QList<Caption>());
    m_handled.clear();
    m_pendingDelegations.clear();
    m_lastInputEnd = -std::numeric_limits<double>::infinity();
    m_lastUserArrival.invalidate();
    m_lastRoutedText.clear();

    // Nothing of an earlier session, still closing, may reach this one.
    m_live->teardown();
    m_generation = QUuid::createUuid();
    const QUuid token = m_generation;
    m_pendingStart.cancel();
    m_pendingStart = Job::start();
    const Job job = m_pendingStart;
    QPointer<AppModel> self(this);
    post(this, [self, job, token, key] {
        if (!self || !self->isCurrent(job, token))
            return;
        self->m_platform.access->requestMicrophone([self, job, token, key](bool granted) {
            if (!self || !self->isCurrent(job, token))
                return;
            self->publish(self->m_microphoneAllowed, granted);
            if (granted)
                self->m_live->open(key);
            else
                self->fail(kMicrophoneRefused);
        });
    });
}

void AppModel::stop()
{
    m_wakeGreetingPending = false;
    m_generation = QUuid::createUuid();
    m_conversationKey.clear();
    publish(m_active, false);
    publish(m_reading, false);
    m_pendingStart.cancel();
    m_analysisTask.cancel();
    if (m_captureTask)
        m_captureTask->job.cancel();
    m_selectionTask.cancel();
    m_selection->cancel();
    m_audio->stop();
    publish(m_level, 0.0f);
    setState(CompanionState::stopped);
    m_snapshot.reset();
    publish(m_selected, false);
    publish(m_selectedCrop, std::optional<QByteArray>());
    publish(m_contextLabel, kContextOff);
    m_pendingDelegations.clear();
    m_questionRelay->conversationEnded();
    updateWakeListening();
    // Last, so that a failure it raises (a full send queue) ends the conversation `failed`.
    m_live->close();
}

void AppModel::quit()
{
    m_shuttingDown = true;
    stopWakeListening();
    m_shortcutRetryTask.cancel();
    m_permissionTask.cancel();
    stop();
    m_taskManager->stopAll();
    publish(m_apiKey, QString());
    if (onTerminate)
        onTerminate();
}

void AppModel::fail(const QString& message)
{
    stop();
    publish(m_error, std::optional<QString>(message));
    setState(CompanionState::failed);
    setExpanded(true);
}

void AppModel::wake()
{
    if (!m_wakeWordEnabled || m_shuttingDown || m_active)
        return;
    setSettings(false);
    toggle();
    m_wakeGreetingPending = m_active;
    updateWakeListening();
}

void AppModel::receive(const QJsonObject& event)
{
    const QString type = json::type(event);
    if (type == QLatin1String(LiveProtocol::sessionClosed)) {
        if (const auto usage = json::object(event, u"usage")) {
            if (const auto seconds = json::number(*usage, u"seconds"))
                publish(m_seconds, *seconds);
        }
        if (m_active)
            stop();
        return;
    }
    if (!m_active)
        return;

    if (type == QLatin1String(LiveProtocol::sessionStarted)) {
        sessionStarted();
    } else if (type == QLatin1String(LiveProtocol::outputAudioDelta)) {
        observeWorkerQuestionOutput();
        if (const auto delta = json::string(event, u"delta")) {
            if (const auto pcm = text::decodeBase64(*delta))
                m_audio->play(*pcm);
        }
    } else if (type == QLatin1String(LiveProtocol::inputTranscriptDelta)) {
        if (m_ledger.ingest(event)) {
            publish(m_captions, m_ledger.captions());
            userSpoke(event);
        }
    } else if (type == QLatin1String(LiveProtocol::outputTranscriptDelta)) {
        if (m_ledger.ingest(event)) {
            publish(m_captions, m_ledger.captions());
            observeWorkerQuestionOutput();
        }
    } else if (type == QLatin1String(LiveProtocol::delegationCreated)) {
        const QJsonObject delegation = json::object(event, u"delegation").value_or(QJsonObject());
        const std::optional<QString> id = json::string(delegation, u"id");
        if (json::string(delegation, u"target") == QStringLiteral("client") && id && !m_handled.contains(*id)) {
            m_handled.insert(*id);
            m_pendingDelegations.insert(*id);
            scheduleAnalysis();
        }
    } else if (type == QLatin1String(LiveProtocol::usageUpdated)) {
        if (const auto usage = json::object(event, u"usage")) {
            if (const auto seconds = json::number(*usage, u"seconds"))
                publish(m_seconds, *seconds);
        }
    } else if (type == QLatin1String(LiveProtocol::error)) {
        const QJsonObject error = json::object(event, u"error").value_or(QJsonObject());
        const QString code = json::string(error, u"code").value_or(QStringLiteral("unknown_error"));
        fail(QStringLiteral("GPT-Live rejected a request (") + code
             + QStringLiteral("). Check your API access, then reconnect."));
    }
}

void AppModel::sessionStarted()
{
    if (const Status started = m_audio->start(); !started) {
        fail(QStringLiteral("Microphone could not start: ") + started.error().description());
        return;
    }
    setState(CompanionState::listening);
    publish(m_contextLabel, m_selected ? QStringLiteral("Circled region ready. Ask about it.")
                                       : QStringLiteral("Your current display is included with each question"));
    const QString startup =
        QStringLiteral("Screen reading is available when screen permission is granted. Answer simple questions "
                       "directly. Delegate screen questions or computer tasks. Computer tasks use the normal "
                       "installed Codex CLI and the user\u2019s signed-in Codex account: ")
        + (m_codexInstalled() ? QStringLiteral("Codex is installed.") : QStringLiteral("Codex CLI is not installed."))
        + QStringLiteral(" Never claim an action occurred when unavailable. Never submit applications; wait for "
                         "explicit user review.");
    sendContext({LiveProtocol::append(startup, std::nullopt, false)});
    if (runningTaskCount() >= 1) {
        sendContext(LiveProtocol::appends(QStringLiteral("Independent computer tasks are running:\n") + taskContext(),
                                          std::nullopt, false));
    }
    rebuildWorkerQuestionQueue();
    if (m_wakeGreetingPending) {
        m_wakeGreetingPending = false;
        // A waiting question is asked instead of the greeting.
        if (m_questionRelay->queue().isEmpty())
            sendContext(LiveProtocol::appends(
                QStringLiteral("The user just woke you by saying Hey, kestrabo. Respond now with a brief "
                               "acknowledgment: Hey! I'm here. Then listen for their request."),
                std::nullopt, true));
    }
    presentNextWorkerQuestion();
}

void AppModel::sendContext(const QList<QJsonObject>& events)
{
    if (!m_live->isReady() || m_live->isClosing())
        return;
    for (const QJsonObject& event : events)
        m_live->enqueue(event, 0);
}

QString AppModel::taskContext() const
{
    QStringList lines;
    for (const ComputerTaskSession* session : m_taskManager->sessions())
        lines.append(session->title() + QStringLiteral(": ") + rawValue(session->state()) + QStringLiteral(", ")
                     + session->worker().status());
    return lines.join(QLatin1Char('\n'));
}

void AppModel::observeWorkerQuestionOutput()
{
    m_questionRelay->observeOutput();
}

void AppModel::rebuildWorkerQuestionQueue()
{
    m_questionRelay->rebuild();
}

void AppModel::presentNextWorkerQuestion()
{
    m_questionRelay->presentNext();
}

void AppModel::handlePlaybackState(bool playing)
{
    if (!m_active)
        return;
    if (playing) {
        setState(CompanionState::speaking);
    } else {
        setState(m_reading ? CompanionState::looking : CompanionState::listening);
        m_questionRelay->playbackStopped();
    }
}

void AppModel::stopWakeListening()
{
    m_wakeListener->wanted = false;
    m_wakeListener->tearDown();
}

void AppModel::updateWakeListening()
{
    if (m_options.enableShortcuts && !m_shuttingDown && m_wakeWordEnabled && !m_active) {
        if (!m_wakeListener->wanted) {
            m_wakeListener->wanted = true;
            m_wakeListener->beginRecognition();
        }
        return;
    }
    stopWakeListening();
    publish(m_wakeWordStatus, m_active ? QStringLiteral("Wake listening pauses during your conversation.")
                                       : QStringLiteral("Wake listening is off."));
}

void AppModel::refreshPermissions()
{
    refreshDevicePermissions();
    startScreenAccessCheck();
}

void AppModel::refreshDevicePermissions()
{
    SystemAccess& access = *m_platform.access;
    publish(m_microphoneAllowed, access.microphoneAuthorized());
    publish(m_accessibilityAllowed, access.accessibilityTrusted());
    publish(m_speechAllowed, access.speechAuthorization() == SpeechAuthorization::authorized);
    if (!(m_microphoneAllowed && m_speechAllowed))
        stopWakeListening();
    updateWakeListening();
    publish(m_shortcutAvailable, m_options.enableShortcuts ? m_hotkey->install() : false);
    publish(m_inputMonitoringAllowed, access.listenEventAllowed());
    retryShortcutIfNeeded();
}

void AppModel::startScreenAccessCheck()
{
    m_permissionTask.cancel();
    m_permissionGeneration = QUuid::createUuid();
    const QUuid token = m_permissionGeneration;
    publish(m_screenPermissionChecking, true);
    m_permissionTask = Job::start();
    const Job job = m_permissionTask;
    QPointer<AppModel> self(this);
    Permissions::checkScreenAccess(false, *m_platform.access, m_platform.grabber,
                                   [self, job, token](const ScreenAccessStatus& status) {
        if (!self || job.isCancelled() || self->m_permissionGeneration != token)
            return;
        const bool unavailable = status.isUnavailable();
        self->publish(self->m_screenPermissionChecking, false);
        self->publish(self->m_screenPermissionUnavailable, unavailable);
        self->publish(self->m_screenPermissionNotice,
                      unavailable ? std::optional<QString>(status.message()) : std::optional<QString>(std::nullopt));
        if (!unavailable) // an unconfirmed check leaves the last answer standing
            self->publish(self->m_screenAllowed, status.isAvailable());
    });
}

void AppModel::retryShortcutIfNeeded()
{
    m_shortcutRetryTask.cancel();
    if (!m_options.enableShortcuts || m_shortcutAvailable)
        return;
    m_shortcutRetryTask = Job::start();
    scheduleShortcutAttempt(m_shortcutRetryTask, 200, false);
}

// The system may grant key access a moment after the user flips the switch, hence two late tries.
void AppModel::scheduleShortcutAttempt(const Job& job, int delayMs, bool last)
{
    QPointer<AppModel> self(this);
    job.after(delayMs, this, [self, job, last] {
        if (!self || job.isCancelled())
            return;
        SystemAccess& access = *self->m_platform.access;
        self->publish(self->m_inputMonitoringAllowed, access.listenEventAllowed());
        if (self->m_inputMonitoringAllowed || access.accessibilityTrusted()) {
            const bool installed = self->m_hotkey->install();
            self->publish(self->m_shortcutAvailable, installed);
            if (installed)
                return;
        }
        if (!last)
            self->scheduleShortcutAttempt(job, 800, true);
    });
}

void AppModel::requestMicrophoneAccess()
{
    QPointer<AppModel> self(this);
    Permissions::requestMicrophone(*m_platform.access, [self](bool) {
        if (self)
            self->refreshPermissions();
    });
}

void AppModel::requestScreenAccess()
{
    publish(m_screenPermissionChecking, true);
    QPointer<AppModel> self(this);
    Permissions::checkScreenAccess(true, *m_platform.access, m_platform.grabber, [self](const ScreenAccessStatus& status) {
        if (!self)
            return;
        if (!status.isDenied()) {
            self->refreshPermissions();
            return;
        }
        Permissions::openPrivacyPane(*self->m_platform.access, QLatin1String(Permissions::privacyScreenCapture));
        // The probe has just met the refusal; a preflight now must not paint over it.
        self->refreshDevicePermissions();
        self->m_permissionTask.cancel();
        self->publish(self->m_screenPermissionChecking, false);
        self->publish(self->m_screenAllowed, false);
    });
}

void AppModel::circle(QScreen* screen, const QRectF& rect)
{
    invalidateScreenAnalysis();
    publish(m_selected, true);
    setExpanded(true);
    publish(m_contextLabel, kCapturingSelection);
    publish(m_error, std::optional<QString>());
    m_selectionTask.cancel();
    m_selectionTask = Job::start();
    const Job job = m_selectionTask;
    QPointer<AppModel> self(this);
    ScreenContext::capture(m_platform, screen, rect, job, [self, job](const Result<ScreenSnapshot>& result) {
        if (!self || job.isCancelled())
            return;
        if (!result) {
            self->publish(self->m_selected, false);
            self->publish(self->m_error, std::optional<QString>(result.error().description()));
            return;
        }
        self->m_snapshot = result.value();
        self->publish(self->m_selectedCrop, result.value().crop);
        self->publish(self->m_contextLabel, kSelectionReady);
        self->publish(self->m_findings, QString());
        if (!self->m_active) {
            self->toggle();
            return;
        }
        self->sendContext({LiveProtocol::append(kNewRegionNotice, std::nullopt, false)});
    });
}

void AppModel::clearSelection()
{
    invalidateScreenAnalysis();
    m_selectionTask.cancel();
    publish(m_selected, false);
    publish(m_selectedCrop, std::optional<QByteArray>());
    m_snapshot.reset();
    publish(m_findings, QString());
    publish(m_contextLabel, m_active ? kContextCurrentDisplay : kContextOff);
}

void AppModel::requestWakeAccess()
{
    if (m_wakePermissionPending)
        return;
    publish(m_wakePermissionPending, true);
    QPointer<AppModel> self(this);
    const auto finish = [self] {
        if (!self)
            return;
        self->publish(self->m_wakePermissionPending, false);
        self->refreshPermissions();
    };
    m_platform.access->requestMicrophone([self, finish](bool granted) {
        if (!self)
            return;
        SystemAccess& access = *self->m_platform.access;
        const SpeechAuthorization speech = access.speechAuthorization();
        if (granted && speech == SpeechAuthorization::notDetermined) {
            access.requestSpeech([finish](bool) { finish(); });
            return;
        }
        if (speech == SpeechAuthorization::denied)
            access.openPrivacyPane(QStringLiteral("Privacy_SpeechRecognition"));
        finish();
    });
}

bool AppModel::persistCurrentKey()
{
    const QString key = text::trimmed(m_apiKey);
    const Status saved = m_credentialStore.save(key);
    if (!saved) {
        publish(m_credentialNotice, std::optional<QString>(saved.error().description()));
        return false;
    }
    publish(m_apiKey, key);
    m_savedKey = key;
    publish(m_keySaved, true);
    publish(m_credentialNotice, std::optional<QString>(QStringLiteral("Saved in the system keyring.")));
    return true;
}

void AppModel::removeAPIKey()
{
    if (m_active)
        return;
    const Status removed = m_credentialStore.remove();
    if (!removed) {
        publish(m_credentialNotice, std::optional<QString>(removed.error().description()));
        return;
    }
    publish(m_apiKey, QString());
    m_savedKey.reset();
    publish(m_keySaved, false);
    publish(m_credentialNotice, std::optional<QString>(QStringLiteral("Removed from the system keyring.")));
}

} // namespace kestrabo
