// The delegation pipeline: from what the user said and the voice model's delegations to
// answers the voice model speaks.

#include "app/AppModel.h"

#include "core/Json.h"
#include "core/Text.h"
#include "live/LiveConnection.h"
#include "routing/VisionService.h"
#include "app/QuestionRelay.h"
#include "app/TaskRoute.h"

#include <QLocale>
#include <QPointer>

#include <cmath>

namespace kestrabo {

namespace {

constexpr double kUtteranceGapMs = 1000;
constexpr qint64 kUtteranceWallGapMs = 1500;
constexpr int kDebounceMs = 1000;

const QString kRoutingFailed = QStringLiteral(
    "Client routing or screen reading failed. Tell the user the task did not start, and ask them to check "
    "permissions and API access.");
const QString kAnswerDirectly =
    QStringLiteral("Answer this conversational question directly. No screen reading or computer action was performed.");
const QString kRepeatedNothingFound =
    QStringLiteral("Answer the user's simple question directly. No computer action was needed.");
const QString kNoBrowserFocus = QStringLiteral("No task browser focus was confirmed.");
const QString kCodexMissing = QStringLiteral("Codex CLI is not installed.");
const QString kNothingStarted = QStringLiteral(" Voice can continue. No computer task was started.");

} // namespace

void AppModel::userSpoke(const QJsonObject& event)
{
    const double start = json::number(event, u"start_ms").value_or(m_lastInputEnd);
    const double end = json::number(event, u"end_ms").value_or(start);
    const bool newUtterance = start - m_lastInputEnd > kUtteranceGapMs || !m_lastUserArrival.isValid()
        || m_lastUserArrival.elapsed() > kUtteranceWallGapMs;
    m_lastInputEnd = std::max(end, m_lastInputEnd);
    m_lastUserArrival.start();
    if (newUtterance) {
        m_lastRoutedText.clear();
        publish(m_findings, QString());
        m_snapshot.reset();
        publish(m_contextLabel, QStringLiteral("Capturing your current display"));
        startCapture();
    }
    scheduleAnalysis();
}

// Captures the display under the pointer in parallel with the debounce, so the image is
// usually ready when classification starts. A held circled crop travels with it.
void AppModel::startCapture()
{
    if (m_captureTask)
        m_captureTask->job.cancel();
    CaptureTask task{Job::start(), {}};
    m_captureTask = task;
    // Whoever waits for a capture that is cancelled (a new utterance, a stop, a new region)
    // hears so instead of waiting for ever.
    task.job.onCancel([value = task.value] { value.resolve(KestraboError::cancelled()); });
    const std::optional<QByteArray> crop = m_selected ? m_selectedCrop : std::nullopt;
    ScreenContext::capture(m_platform, ScreenContext::currentScreen(), std::nullopt, task.job,
                           [task, crop](Result<ScreenSnapshot> result) {
                               if (task.job.isCancelled())
                                   return;
                               if (result)
                                   result.value().crop = crop;
                               task.value.resolve(std::move(result));
                           });
}

void AppModel::scheduleAnalysis()
{
    m_analysisTask.cancel();
    m_analysisTask = Job::start();
    const Job job = m_analysisTask;
    const QUuid token = m_generation;
    QPointer<AppModel> self(this);
    job.after(kDebounceMs, this, [self, job, token] {
        if (self && self->analysisCurrent(job, token))
            self->analyse(job, token);
    });
}

bool AppModel::analysisCurrent(const Job& job, const QUuid& token) const
{
    return !job.isCancelled() && m_active && token == m_generation;
}

void AppModel::analyse(const Job& job, const QUuid& token)
{
    const QString text = m_ledger.latestUserText();
    if (text.isEmpty()) {
        endAnalysis(job, token);
        return;
    }
    // A waiting Codex question gets the first chance at the words.
    QPointer<AppModel> self(this);
    m_questionRelay->route(text, token, job, [self, job, token, text](bool consumed) {
        if (!self || !self->analysisCurrent(job, token))
            return;
        if (!consumed) {
            self->analyseRequest(job, token, text);
            return;
        }
        self->m_lastRoutedText = text;
        self->endAnalysis(job, token);
    });
}

void AppModel::analyseRequest(const Job& job, const QUuid& token, const QString& text)
{
    if (text == m_lastRoutedText) {
        // The same words were acted on already; only new delegations arrived.
        if (m_lastRoutedKind == QuestionRoute::task && m_taskRoute->lastBatchID()) {
            m_taskRoute->link(m_pendingDelegations, *m_taskRoute->lastBatchID());
            m_pendingDelegations.clear();
        } else if (m_lastRoutedKind == QuestionRoute::showBrowser)
            finishDelegations(m_lastBrowserAcknowledgment.isEmpty() ? kNoBrowserFocus : m_lastBrowserAcknowledgment);
        else
            finishDelegations(m_findings.isEmpty() ? kRepeatedNothingFound : m_findings);
        endAnalysis(job, token);
        return;
    }
    if (m_snapshot && m_selected) {
        classify(job, token, text, m_snapshot);
        return;
    }
    if (!m_captureTask) {
        classify(job, token, text, std::nullopt);
        return;
    }
    QPointer<AppModel> self(this);
    m_captureTask->value.then([self, job, token, text](const Result<ScreenSnapshot>& captured) {
        if (!self || !self->analysisCurrent(job, token))
            return;
        self->classify(job, token, text, captured ? std::optional<ScreenSnapshot>(captured.value()) : std::nullopt);
    });
}

void AppModel::classify(const Job& job, const QUuid& token, const QString& text, std::optional<ScreenSnapshot> snapshot)
{
    if (!snapshot) {
        publish(m_contextLabel, QStringLiteral("Screen recording unavailable. Voice still works."));
    } else {
        m_snapshot = snapshot;
        publish(m_contextLabel, m_selected ? QStringLiteral("Current display and circled region included")
                                           : snapshot->displayName + QStringLiteral(" included"));
    }
    const QString history = m_ledger.context() + QStringLiteral("\nComputer tasks:\n") + taskContext();
    QPointer<AppModel> self(this);
    RouteService::classify(text, history, m_conversationKey, snapshot, job,
                           [self, job, token, text](Result<RouteDecision> decision) {
                               if (!self || !self->analysisCurrent(job, token))
                                   return;
                               if (!decision) {
                                   self->publish(self->m_error, std::optional<QString>(decision.error().description()));
                                   self->finishDelegations(kRoutingFailed);
                                   self->endAnalysis(job, token);
                                   return;
                               }
                               self->route(job, token, text, decision.value());
                           });
}

void AppModel::route(const Job& job, const QUuid& token, const QString& text, const RouteDecision& decision)
{
    m_lastRoutedKind = decision.route;
    switch (decision.route) {
    case QuestionRoute::direct:
        m_lastRoutedText = text;
        finishDelegations(kAnswerDirectly);
        break;
    case QuestionRoute::showBrowser: {
        const QString acknowledgment = showBrowser(decision.targetTask);
        m_lastRoutedText = text;
        m_lastBrowserAcknowledgment = acknowledgment;
        answerOrSay(acknowledgment, false);
        break;
    }
    case QuestionRoute::task:
        routeTask(job, token, text, decision);
        return;
    case QuestionRoute::screen: {
        QPointer<AppModel> self(this);
        readScreen(text, job, token, [self, job, token, text](Result<QString> result) {
            if (!self || !self->analysisCurrent(job, token))
                return;
            if (result) {
                self->m_lastRoutedText = text;
                self->answerOrSay(result.value(), false);
            } else {
                self->publish(self->m_error, std::optional<QString>(result.error().description()));
                self->finishDelegations(kRoutingFailed);
            }
            self->endAnalysis(job, token);
        });
        return;
    }
    }
    endAnalysis(job, token);
}

void AppModel::routeTask(const Job& job, const QUuid& token, const QString& text, const RouteDecision& decision)
{
    if (!m_codexInstalled()) {
        setSettings(true);
        setExpanded(true);
        m_taskRoute->forgetLastBatch();
        m_lastRoutedText = text;
        const QString message = kCodexMissing + kNothingStarted;
        publish(m_findings, message);
        answerOrSay(message, true);
        endAnalysis(job, token);
        return;
    }
    QStringList tasks = decision.tasks;
    if (tasks.isEmpty())
        tasks.append(decision.task.isEmpty() ? text : decision.task);
    const QString context = m_ledger.context();
    if (!decision.requiresScreen) {
        startTasks(tasks, context, text, token);
        endAnalysis(job, token);
        return;
    }
    QPointer<AppModel> self(this);
    readScreen(text, job, token, [self, job, token, text, tasks, context](Result<QString> result) {
        if (!self || !self->analysisCurrent(job, token))
            return;
        if (result) {
            self->startTasks(tasks, context + result.value() + QLatin1Char('\n'), text, token);
        } else {
            self->publish(self->m_error, std::optional<QString>(result.error().description()));
            self->finishDelegations(kRoutingFailed);
        }
        self->endAnalysis(job, token);
    });
}

void AppModel::endAnalysis(const Job& job, const QUuid& token)
{
    if (job.isCancelled() || token != m_generation)
        return;
    publish(m_reading, false);
    if (m_active && m_state != CompanionState::speaking)
        setState(CompanionState::listening);
}

void AppModel::readScreen(const QString& question, const Job& job, const QUuid& token,
                          std::function<void(Result<QString>)> done)
{
    publish(m_reading, true);
    setState(CompanionState::looking);
    if (m_snapshot) {
        describeScreen(question, job, token, *m_snapshot, std::move(done));
        return;
    }
    if (!m_captureTask)
        startCapture();
    QPointer<AppModel> self(this);
    m_captureTask->value.then([self, question, job, token, done](const Result<ScreenSnapshot>& captured) {
        if (!self)
            return;
        if (job.isCancelled() || token != self->m_generation) {
            done(KestraboError::cancelled());
            return;
        }
        if (!captured) {
            done(captured.error());
            return;
        }
        self->describeScreen(question, job, token, captured.value(), done);
    });
}

void AppModel::describeScreen(const QString& question, const Job& job, const QUuid& token,
                              const ScreenSnapshot& snapshot, std::function<void(Result<QString>)> done)
{
    m_snapshot = snapshot;
    publish(m_contextLabel, m_selected ? QStringLiteral("Reading the circled region")
                                       : QStringLiteral("Reading ") + snapshot.displayName);
    QPointer<AppModel> self(this);
    VisionService::describe(snapshot, question, m_conversationKey, job,
                            [self, job, token, snapshot, done](Result<QString> observations) {
                                if (!self)
                                    return;
                                if (!observations) {
                                    done(observations.error());
                                    return;
                                }
                                if (job.isCancelled() || token != self->m_generation) {
                                    done(KestraboError::cancelled());
                                    return;
                                }
                                self->publish(self->m_findings, observations.value());
                                self->publish(self->m_contextLabel,
                                              self->m_selected ? QStringLiteral("Circled region included")
                                                               : snapshot.displayName + QStringLiteral(" included"));
                                const QString time =
                                    QLocale::system().toString(snapshot.capturedAt.time(), QLocale::ShortFormat);
                                done(QStringLiteral("Verified screen observations captured ") + time
                                     + QStringLiteral(": ") + observations.value());
                            });
}

void AppModel::finishDelegations(const QString& text)
{
    if (m_active) {
        for (const QString& id : std::as_const(m_pendingDelegations))
            sendContext(LiveProtocol::appends(text, id, true));
    }
    m_pendingDelegations.clear();
}

void AppModel::answerOrSay(const QString& text, bool speak)
{
    if (m_pendingDelegations.isEmpty())
        sendContext(LiveProtocol::appends(text, std::nullopt, speak));
    else
        finishDelegations(text);
}

QString AppModel::showBrowser(const std::optional<QString>& target) const
{
    if (!m_codexInstalled())
        return kCodexMissing;
    return m_taskRoute->showBrowser(target);
}

void AppModel::invalidateScreenAnalysis()
{
    m_analysisTask.cancel();
    if (m_captureTask)
        m_captureTask->job.cancel();
    m_captureTask.reset();
    m_lastRoutedText.clear();
    publish(m_reading, false);
    if (m_active && m_state == CompanionState::looking)
        setState(CompanionState::listening);
}

} // namespace kestrabo
