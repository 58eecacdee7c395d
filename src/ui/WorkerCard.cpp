#include "ui/WorkerCard.h"

#include "codex/CodexRPC.h"
#include "codex/CodexWorker.h"
#include "tasks/ComputerTask.h"
#include "ui/IslandWidgets.h"
#include "ui/TaskQuestionForm.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QPushButton>
#include <QVBoxLayout>

namespace kestrabo {

using island::Ink;

namespace {
constexpr int kClippedLines = 4;

template <class F>
void call(const F& callback)
{
    if (callback)
        callback();
}
} // namespace

WorkerCard::WorkerCard(ComputerTaskSession& session, QWidget* parent) : QFrame(parent), m_session(&session)
{
    setObjectName(QStringLiteral("task.card"));
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(10, 8, 10, 8);
    column->setSpacing(5);

    m_title = island::text(this, session.title(), 13, QFont::DemiBold);
    m_title->setObjectName(QStringLiteral("task.title"));
    m_status = island::text(this, QString(), 11, QFont::Normal, Ink::secondary);
    m_status->setObjectName(QStringLiteral("task.status"));
    column->addWidget(m_title);
    column->addWidget(m_status);

    auto* buttons = new QHBoxLayout;
    buttons->setSpacing(6);
    const auto add = [&](const QString& label, const QString& name, std::function<void()> WorkerCard::*callback) {
        QPushButton* button = island::button(this, label);
        button->setObjectName(name);
        connect(button, &QPushButton::clicked, this, [this, callback] { call(this->*callback); });
        buttons->addWidget(button);
        return button;
    };
    m_stop = add(QStringLiteral("Stop"), QStringLiteral("task.stop"), &WorkerCard::onStop);
    m_allow = add(QStringLiteral("Allow once"), QStringLiteral("task.allow"), &WorkerCard::onAllow);
    m_allow->setProperty("prominent", true);
    m_allow->setAccessibleName(QStringLiteral("Allow once for ") + session.title());
    m_decline = add(QStringLiteral("Don't allow"), QStringLiteral("task.decline"), &WorkerCard::onDecline);
    m_decline->setAccessibleName(QStringLiteral("Don't allow for ") + session.title());
    m_review = add(QStringLiteral("Review"), QStringLiteral("task.review"), &WorkerCard::onReview);
    buttons->addStretch(1);
    column->addLayout(buttons);

    m_forms = new QVBoxLayout;
    m_forms->setSpacing(8);
    column->addLayout(m_forms);

    m_result = island::text(this, QString(), 12);
    m_result->setObjectName(QStringLiteral("task.result"));
    m_result->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    m_result->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    column->addWidget(m_result);
    m_resultToggle = island::button(this, QStringLiteral("Full result"));
    m_resultToggle->setObjectName(QStringLiteral("task.resultToggle"));
    m_resultToggle->setFlat(true);
    connect(m_resultToggle, &QPushButton::clicked, this, [this] {
        m_showFullResult = !m_showFullResult;
        syncClip();
    });
    column->addWidget(m_resultToggle, 0, Qt::AlignLeft);

    connect(&session, &ComputerTaskSession::changed, this, &WorkerCard::sync);
    sync();
    syncClip();
}

void WorkerCard::sync()
{
    if (!m_session)
        return;
    const ComputerTaskSession& session = *m_session;
    const CodexWorker& worker = session.worker();
    const ComputerTaskState state = session.state();
    m_status->setText(state == ComputerTaskState::starting ? QStringLiteral("Starting agent") : worker.status());
    m_stop->setVisible(isActive(state));
    const bool approval = worker.approvalPending();
    m_allow->setVisible(approval && worker.approvalCanBeAccepted());
    m_decline->setVisible(approval);
    m_review->setVisible(!approval
                         && (state == ComputerTaskState::review || state == ComputerTaskState::manualReview));
    syncForms();
    const QString result = session.result();
    if (m_result->text() != result) {
        m_result->setText(result);
        syncClip();
    }
    m_result->setVisible(!result.isEmpty());
}

void WorkerCard::syncForms()
{
    const QList<CodexQuestionRequest>& pending = m_session->worker().pendingQuestions();
    bool same = pending.size() == m_shownForms.size();
    for (qsizetype i = 0; same && i < pending.size(); ++i)
        same = m_shownForms[i]->request() == pending[i];
    if (same)
        return;
    // Forms whose request is still pending keep what the user has typed.
    for (TaskQuestionForm* shown : std::as_const(m_shownForms))
        m_forms->removeWidget(shown);
    QList<TaskQuestionForm*> kept;
    for (const CodexQuestionRequest& request : pending) {
        TaskQuestionForm* form = nullptr;
        for (TaskQuestionForm* shown : std::as_const(m_shownForms))
            if (shown->request() == request)
                form = shown;
        if (!form) {
            form = new TaskQuestionForm(m_session->title(), request, this);
            island::adoptStyle(form, style());
            form->onSubmit = [this, id = request.id](const CodexAnswers& answers) {
                if (onAnswer)
                    onAnswer(id, answers);
            };
        }
        m_forms->addWidget(form);
        kept.append(form);
    }
    for (TaskQuestionForm* shown : std::as_const(m_shownForms))
        if (!kept.contains(shown)) {
            // Its own "Send answer" may be what settled it, so it goes once that click is over.
            shown->hide();
            shown->deleteLater();
        }
    m_shownForms = kept;
}

void WorkerCard::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    painter.setBrush(QColor(255, 255, 255, 20));
    painter.drawRoundedRect(QRectF(rect()), 10, 10);
}

void WorkerCard::resizeEvent(QResizeEvent* event)
{
    QFrame::resizeEvent(event);
    syncClip();
}

void WorkerCard::syncClip()
{
    const QFontMetrics metrics = m_result->fontMetrics();
    const int clip = kClippedLines * metrics.lineSpacing();
    const int width = std::max(m_result->width(), 200);
    const int full = metrics.boundingRect(QRect(0, 0, width, 1 << 20), Qt::TextWordWrap, m_result->text()).height();
    const bool clipped = full > clip;
    m_resultToggle->setVisible(clipped && !m_result->text().isEmpty());
    m_resultToggle->setText(m_showFullResult ? QStringLiteral("Show less") : QStringLiteral("Full result"));
    m_result->setMaximumHeight(clipped && !m_showFullResult ? clip : QWIDGETSIZE_MAX);
}

} // namespace kestrabo
