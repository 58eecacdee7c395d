#include "tasks/ComputerTask.h"

#include "codex/CodexRPC.h"
#include "codex/CodexWorker.h"
#include "core/Text.h"
#include "tasks/BrowserWorkspace.h"


namespace kestrabo {

namespace {

const QString kStoppedByUser = QStringLiteral("The user stopped this computer task. Work was not completed.");
const QString kTakenOver =
    QStringLiteral("The user stopped this task's agent for manual review. No submission was made by the agent.");
const QString kCouldNotStart = QStringLiteral("Computer task could not start: ");
const QString kAgentStopped = QStringLiteral("Agent stopped for your review");

} // namespace

QString rawValue(ComputerTaskState state)
{
    switch (state) {
    case ComputerTaskState::starting: return QStringLiteral("starting");
    case ComputerTaskState::working: return QStringLiteral("working");
    case ComputerTaskState::review: return QStringLiteral("review");
    case ComputerTaskState::manualReview: return QStringLiteral("manualReview");
    case ComputerTaskState::completed: return QStringLiteral("completed");
    case ComputerTaskState::failed: return QStringLiteral("failed");
    case ComputerTaskState::cancelled: return QStringLiteral("cancelled");
    }
    return QString();
}

bool isActive(ComputerTaskState state)
{
    return state == ComputerTaskState::starting || state == ComputerTaskState::working
        || state == ComputerTaskState::review;
}

// MARK: session

ComputerTaskSession::ComputerTaskSession(QString task, QString title, QSet<QString> delegationIDs,
                                         std::optional<QUuid> voiceSessionID, BrowserWorkspace* browser,
                                         CodexWorker* worker, QObject* parent)
    : QObject(parent), m_title(std::move(title)), m_task(std::move(task)), m_voiceSessionID(voiceSessionID),
      m_browser(browser), m_worker(worker), m_delegationIDs(std::move(delegationIDs))
{
    m_browser->setParent(this);
    m_worker->setParent(this);
    QObject::connect(m_worker, &CodexWorker::changed, this, &ComputerTaskSession::changed);
    QObject::connect(m_browser, &BrowserWorkspace::changed, this, &ComputerTaskSession::changed);
    QPointer<ComputerTaskSession> self(this);
    m_worker->onResult = [self](const QString& text) {
        if (self)
            self->completed(text);
    };
    m_worker->onReview = [self](const QString& summary) {
        if (self)
            self->requestedReview(summary);
    };
    m_worker->onQuestion = [self](const CodexQuestionRequest& request) {
        if (self && self->onQuestion)
            self->onQuestion(self, request);
    };
}

void ComputerTaskSession::addDelegationIDs(const QSet<QString>& ids)
{
    publish(m_delegationIDs, m_delegationIDs | ids);
}

QString ComputerTaskSession::result() const
{
    return m_outcome ? *m_outcome : m_worker->result();
}

void ComputerTaskSession::launch(const QString& context, const QString& apiKey)
{
    m_startupTask.cancel();
    m_startupTask = Job::start();
    if (m_state != ComputerTaskState::starting)
        return;
    const Job job = m_startupTask;
    QPointer<ComputerTaskSession> self(this);
    m_worker->start(
        m_task, context, apiKey, m_title,
        [self, job](const Status& status) {
            if (!self)
                return;
            if (self->m_startupTask == job)
                self->m_startupTask = Job();
            if (status.ok()) {
                if (!job.isCancelled() && self->m_state == ComputerTaskState::starting && self->m_worker->running())
                    self->publish(self->m_state, ComputerTaskState::working);
                return;
            }
            // A stop or take-over already settled the task; its cancellation is no news.
            if (!isActive(self->m_state))
                return;
            if (status.error().isCancellation()) {
                self->stop();
                return;
            }
            self->publish(self->m_state, ComputerTaskState::failed);
            self->publish(self->m_finishedAt, std::optional<QDateTime>(QDateTime::currentDateTime()));
            self->publish(self->m_outcome, std::optional<QString>(kCouldNotStart + status.error().description()));
            self->notifyResult();
        },
        job);
}

void ComputerTaskSession::notifyResult()
{
    if (m_notificationSent)
        return;
    m_notificationSent = true;
    if (onResult)
        onResult(this, m_outcome.value_or(QString()));
}

void ComputerTaskSession::stop()
{
    m_startupTask.cancel();
    m_startupTask = Job();
    // A task the worker handed over has nothing left to stop.
    if (m_state == ComputerTaskState::review && !m_worker->approvalPending() && !m_worker->running())
        return;
    if (!isActive(m_state)) {
        if (m_worker->running())
            m_worker->stop();
        return;
    }
    publish(m_state, ComputerTaskState::cancelled);
    m_worker->stop();
    publish(m_outcome, std::optional<QString>(kStoppedByUser));
    publish(m_finishedAt, std::optional<QDateTime>(QDateTime::currentDateTime()));
    notifyResult();
}

Status ComputerTaskSession::allowPendingApproval()
{
    if (Status approved = m_worker->approvePendingReview(); !approved)
        return approved;
    publish(m_state, ComputerTaskState::working);
    publish(m_outcome, std::optional<QString>());
    publish(m_finishedAt, std::optional<QDateTime>());
    return {};
}

void ComputerTaskSession::declinePendingApproval()
{
    m_worker->declinePendingReview();
    publish(m_state, ComputerTaskState::working);
    publish(m_outcome, std::optional<QString>());
    publish(m_finishedAt, std::optional<QDateTime>());
}

void ComputerTaskSession::takeOver()
{
    m_startupTask.cancel();
    m_startupTask = Job();
    m_worker->stop();
    m_worker->setStatus(kAgentStopped);
    publish(m_state, ComputerTaskState::manualReview);
    if (m_notificationSent)
        return;
    publish(m_outcome, std::optional<QString>(kTakenOver));
    publish(m_finishedAt, std::optional<QDateTime>(QDateTime::currentDateTime()));
    m_notificationSent = true;
    if (onReview)
        onReview(this, kTakenOver);
}

void ComputerTaskSession::detach(std::function<void()> done)
{
    m_browser->lock();
    m_browser->waitForIdle(std::move(done));
}

void ComputerTaskSession::completed(const QString& text)
{
    if (!isActive(m_state) || m_notificationSent)
        return;
    const QString& status = m_worker->status();
    publish(m_state, status == u"Finished"  ? ComputerTaskState::completed
                     : status == u"Stopped" ? ComputerTaskState::cancelled
                                            : ComputerTaskState::failed);
    publish(m_outcome, std::optional<QString>(text));
    publish(m_finishedAt, std::optional<QDateTime>(QDateTime::currentDateTime()));
    notifyResult();
}

void ComputerTaskSession::requestedReview(const QString& summary)
{
    if (!isActive(m_state) || m_notificationSent)
        return;
    publish(m_state, ComputerTaskState::review);
    publish(m_outcome, std::optional<QString>(summary));
    // A held approval only pauses the task; a hand-over ends the agent's part.
    if (m_worker->approvalPending()) {
        publish(m_finishedAt, std::optional<QDateTime>());
    } else {
        publish(m_finishedAt, std::optional<QDateTime>(QDateTime::currentDateTime()));
        m_notificationSent = true;
    }
    if (onReview)
        onReview(this, summary);
}

// MARK: manager

ComputerTaskManager::ComputerTaskManager(QObject* parent)
    : ComputerTaskManager([] { return new BrowserWorkspace(); },
                          [](BrowserWorkspace*) { return new CodexWorker(); }, parent)
{
}

ComputerTaskManager::ComputerTaskManager(BrowserFactory browserFactory, WorkerFactory workerFactory, QObject* parent)
    : QObject(parent), m_browserFactory(std::move(browserFactory)), m_workerFactory(std::move(workerFactory))
{
}

QString ComputerTaskManager::title(const QString& task)
{
    QStringList words;
    QString word;
    for (const char32_t scalar : task.toUcs4()) {
        if (text::isWhitespaceOrNewline(scalar)) {
            if (!word.isEmpty())
                words.append(std::exchange(word, QString()));
        } else {
            word.append(QString::fromUcs4(&scalar, 1));
        }
    }
    if (!word.isEmpty())
        words.append(word);
    if (words.isEmpty())
        return QStringLiteral("Computer task");
    return text::graphemePrefix(words.join(QLatin1Char(' ')), maxTitleCharacters);
}

ComputerTaskSession* ComputerTaskManager::session(const QUuid& id) const
{
    for (ComputerTaskSession* session : m_sessions) {
        if (session->id() == id)
            return session;
    }
    return nullptr;
}

ComputerTaskSession* ComputerTaskManager::start(const QString& task, const QString& context, const QString& apiKey,
                                                const QSet<QString>& delegationIDs,
                                                const std::optional<QUuid>& voiceSessionID)
{
    ComputerTaskSession* session = makeSession(task, title(task), delegationIDs, voiceSessionID);
    session->launch(context, apiKey);
    return session;
}

ComputerTaskSession* ComputerTaskManager::makeSession(const QString& task, const QString& title,
                                                      const QSet<QString>& delegationIDs,
                                                      const std::optional<QUuid>& voiceSessionID)
{
    const auto taken = [this](const QString& candidate) {
        return std::any_of(m_sessions.cbegin(), m_sessions.cend(),
                           [&](const ComputerTaskSession* s) { return s->title() == candidate; });
    };
    QString unique = title;
    for (int counter = 2; taken(unique); ++counter)
        unique = title + QStringLiteral(" (") + QString::number(counter) + QStringLiteral(")");

    BrowserWorkspace* browser = m_browserFactory();
    CodexWorker* worker = m_workerFactory(browser);
    auto* session = new ComputerTaskSession(task, unique, delegationIDs, voiceSessionID, browser, worker, this);
    QPointer<ComputerTaskManager> self(this);
    session->onResult = [self](ComputerTaskSession* s, const QString& text) {
        if (self && self->onResult)
            self->onResult(s, text);
    };
    session->onReview = [self](ComputerTaskSession* s, const QString& text) {
        if (self && self->onReview)
            self->onReview(s, text);
    };
    session->onQuestion = [self](ComputerTaskSession* s, const CodexQuestionRequest& request) {
        if (self && self->onQuestion)
            self->onQuestion(s, request);
    };
    QObject::connect(session, &ComputerTaskSession::changed, this, &ComputerTaskManager::changed);
    // Sessions live as long as the manager; should one go anyway, the list must not dangle.
    QObject::connect(session, &QObject::destroyed, this, [this, session] {
        m_sessions.removeOne(session);
        Q_EMIT changed();
    });
    m_sessions.append(session);
    Q_EMIT changed();
    return session;
}

void ComputerTaskManager::stopAll()
{
    const QList<ComputerTaskSession*> sessions = m_sessions;
    for (ComputerTaskSession* session : sessions) {
        session->stop();
        session->detach();
    }
}

} // namespace kestrabo
