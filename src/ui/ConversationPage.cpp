#include "ui/ConversationPage.h"

#include "app/AppModel.h"
#include "tasks/ComputerTask.h"
#include "ui/IslandIcons.h"
#include "ui/IslandMetrics.h"
#include "ui/IslandWidgets.h"
#include "ui/WorkerCard.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

namespace kestrabo {

using island::Ink;

namespace {
constexpr int kShownCaptions = 6;
}

ConversationPage::ConversationPage(AppModel& model, QWidget* parent) : QWidget(parent), m_model(model)
{
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(0, 4, 0, 0);
    column->setSpacing(10);

    m_welcome = new QWidget(this);
    auto* welcome = new QVBoxLayout(m_welcome);
    welcome->setContentsMargins(0, 0, 0, 0);
    welcome->setSpacing(4);
    welcome->addWidget(island::text(m_welcome, QStringLiteral("What's on your mind?"), 17, QFont::DemiBold));
    m_hint = island::text(m_welcome, QString(), 12, QFont::Normal, Ink::secondary);
    welcome->addWidget(m_hint);
    column->addWidget(m_welcome);

    for (int i = 0; i < kShownCaptions; ++i) {
        auto* row = new QWidget(this);
        auto* line = new QHBoxLayout(row);
        line->setContentsMargins(0, 0, 0, 0);
        line->setSpacing(8);
        auto* speaker = island::text(row, QString(), 11, QFont::DemiBold, Ink::leaf);
        speaker->setWordWrap(false);
        speaker->setFixedWidth(speaker->fontMetrics().horizontalAdvance(kAssistantSpeaker) + 6);
        speaker->setAlignment(Qt::AlignLeft | Qt::AlignTop);
        auto* text = island::text(row, QString(), 14);
        text->setObjectName(QStringLiteral("subtitle.%1").arg(i));
        line->addWidget(speaker, 0, Qt::AlignTop);
        line->addWidget(text, 1);
        column->addWidget(row);
        m_rows.append({row, speaker, text});
    }

    auto* context = new QHBoxLayout;
    context->setSpacing(6);
    m_contextIcon = new QLabel(this);
    m_context = island::text(this, QString(), 11, QFont::Normal, Ink::secondary);
    m_context->setObjectName(QStringLiteral("context.label"));
    m_clear = island::button(this, QStringLiteral("Clear"));
    m_clear->setObjectName(QStringLiteral("context.clear"));
    connect(m_clear, &QPushButton::clicked, this, [this] { m_model.clearSelection(); });
    context->addWidget(m_contextIcon, 0, Qt::AlignTop);
    context->addWidget(m_context, 1);
    context->addWidget(m_clear);
    column->addLayout(context);

    m_audioRow = new QWidget(this);
    auto* audio = new QHBoxLayout(m_audioRow);
    audio->setContentsMargins(0, 0, 0, 0);
    audio->setSpacing(6);
    auto* headphones = new QLabel(m_audioRow);
    island::setIcon(headphones, QStringLiteral("headphones"), Ink::secondary);
    m_audioNotice = island::text(m_audioRow, QString(), 11, QFont::Normal, Ink::secondary);
    m_audioNotice->setObjectName(QStringLiteral("audio.notice"));
    audio->addWidget(headphones, 0, Qt::AlignTop);
    audio->addWidget(m_audioNotice, 1);
    column->addWidget(m_audioRow);

    m_error = island::text(this, QString(), 12, QFont::Normal, Ink::warning);
    m_error->setObjectName(QStringLiteral("conversation.error"));
    column->addWidget(m_error);

    m_tasks = island::text(this, QString(), 12, QFont::Normal, Ink::secondary);
    m_tasks->setObjectName(QStringLiteral("tasks.header"));
    column->addWidget(m_tasks);
    m_cardColumn = new QVBoxLayout;
    m_cardColumn->setSpacing(8);
    column->addLayout(m_cardColumn);
    column->addStretch(1);

    auto* action = new QHBoxLayout;
    m_talk = island::button(this, QString());
    m_talk->setObjectName(QStringLiteral("conversation.toggle"));
    m_talk->setProperty("prominent", true);
    QFont talkFont = m_talk->font();
    talkFont.setPixelSize(13);
    talkFont.setWeight(QFont::DemiBold);
    m_talk->setFont(talkFont);
    m_talk->setMinimumHeight(36);
    m_talk->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    connect(m_talk, &QPushButton::clicked, this, [this] { m_model.toggle(); });
    m_duration = island::text(this, QString(), 12, QFont::Medium, Ink::secondary);
    m_duration->setObjectName(QStringLiteral("conversation.duration"));
    m_duration->setWordWrap(false);
    action->addWidget(m_talk, 1);
    action->addWidget(m_duration);
    column->addLayout(action);
}

void ConversationPage::sync()
{
    const bool active = m_model.active();
    const QList<Caption>& captions = m_model.captions();
    m_welcome->setVisible(!active && captions.isEmpty());
    m_hint->setText(QStringLiteral("Tap ") + title(m_model.shortcut())
                    + QStringLiteral(" to talk. Hold it and circle something to ask about your screen."));

    QList<Caption> shown;
    if (active) {
        const QString user = m_model.liveUserSubtitle();
        const QString assistant = m_model.liveAssistantSubtitle();
        shown = {{kUserSpeaker, user.isEmpty() ? QStringLiteral("Listening for your words…") : user},
                 {kAssistantSpeaker, assistant.isEmpty() ? QStringLiteral("Waiting for assistant subtitles…") : assistant}};
    } else {
        shown = captions.mid(std::max<qsizetype>(0, captions.size() - kShownCaptions));
    }
    for (qsizetype i = 0; i < m_rows.size(); ++i) {
        const bool visible = i < shown.size();
        m_rows[i].row->setVisible(visible);
        if (visible) {
            m_rows[i].speaker->setText(shown[i].speaker);
            m_rows[i].text->setText(shown[i].text);
        }
    }

    const bool selected = m_model.selected();
    island::setIcon(m_contextIcon, selected ? QStringLiteral("lasso") : QStringLiteral("display"), Ink::secondary);
    m_context->setText(m_model.contextLabel());
    m_contextIcon->setVisible(!m_model.contextLabel().isEmpty() || selected);
    m_clear->setVisible(selected);

    m_audioRow->setVisible(m_model.audioNotice().has_value());
    m_audioNotice->setText(m_model.audioNotice().value_or(QString()));
    m_error->setVisible(m_model.error().has_value());
    m_error->setText(m_model.error().value_or(QString()));

    // Sessions are never removed, only appended: each new one gets its card at the end.
    const QList<ComputerTaskSession*>& sessions = m_model.taskManager().sessions();
    for (qsizetype i = m_cards.size(); i < sessions.size(); ++i) {
        auto* card = new WorkerCard(*sessions[i], this);
        island::adoptStyle(card, style());
        const QPointer<ComputerTaskSession> session(sessions[i]);
        card->onStop = [session] {
            if (session)
                session->stop();
        };
        card->onReview = [this, session] {
            if (session)
                m_model.reviewTask(session);
        };
        card->onAllow = [this, session] {
            if (session)
                m_model.allowTaskApproval(session);
        };
        card->onDecline = [session] {
            if (session)
                session->declinePendingApproval();
        };
        card->onAnswer = [this, session](const QString& requestID, const CodexAnswers& answers) {
            if (session)
                m_model.answerTaskQuestion(session, requestID, answers);
        };
        m_cardColumn->addWidget(card);
        m_cards.append(card);
    }
    if (!sessions.isEmpty())
        m_tasks->setText(QStringLiteral("Computer tasks · %1 running").arg(m_model.runningTaskCount()));
    else
        m_tasks->setText(
            QStringLiteral("Ask me to research or prepare tasks. Independent agents can work at the same time."));

    m_talk->setText(active ? QStringLiteral("End conversation") : QStringLiteral("Start talking"));
    m_talk->setIcon(island::icon(active ? QStringLiteral("stop.fill") : QStringLiteral("mic.fill"), QColor(18, 22, 12)));
    const QString duration = island::durationText(m_model.seconds());
    m_duration->setText(duration);
    m_duration->setVisible(!duration.isEmpty());
}

QList<QWidget*> ConversationPage::answerFields() const
{
    QList<QWidget*> fields;
    for (const WorkerCard* card : m_cards)
        for (QLineEdit* field : card->findChildren<QLineEdit*>())
            fields.append(field);
    return fields;
}

} // namespace kestrabo
