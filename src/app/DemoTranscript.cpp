#include "app/DemoTranscript.h"

#include "app/AppModel.h"
#include "app/QuestionRelay.h"
#include "ui/IslandPanel.h"
#include "ui/PanelController.h"

#include <QDir>
#include <QPointer>
#include <QRegularExpression>
#include <QTimer>

#include <cstdio>

namespace kestrabo {

namespace {

// The step's words as a file name: "task Pack: working" → "task-pack-working".
QString slug(const QString& text)
{
    static const QRegularExpression separators(QStringLiteral("[^a-z0-9]+"));
    QString name = text.toLower().replace(separators, QStringLiteral("-"));
    name.truncate(48);
    while (name.endsWith(QLatin1Char('-')))
        name.chop(1);
    while (name.startsWith(QLatin1Char('-')))
        name.remove(0, 1);
    return name;
}

} // namespace

DemoTranscript::DemoTranscript(AppModel& model, PanelController* controller, const QString& directory)
    : QObject(&model), m_model(model), m_controller(controller), m_directory(directory)
{
    QDir pictures(m_directory);
    if (m_controller && pictures.mkpath(QStringLiteral("."))) {
        for (const QString& old : pictures.entryList({QStringLiteral("[0-9][0-9]-*.png")}, QDir::Files))
            pictures.remove(old);
    }
    QPointer<DemoTranscript> self(this);
    m_model.questionRelay().onAsked = [self](const WorkerQuestionEnvelope& question) {
        if (self)
            self->line(QStringLiteral("question from ") + question.taskTitle + QStringLiteral(": ") + question.prompt);
    };
    m_model.questionRelay().onAnswered = [self](const WorkerQuestionEnvelope& question, const QString& answer) {
        if (self)
            self->line(QStringLiteral("answer to ") + question.taskTitle + QStringLiteral(": ") + answer);
    };
    connect(&m_model, &AppModel::changed, this, &DemoTranscript::update);
    update();
}

void DemoTranscript::update()
{
    const QStringList lines{
        QStringLiteral("state: ") + label(m_model.state()),
        QStringLiteral("you: ") + m_model.liveUserSubtitle(),
        QStringLiteral("kestrabo: ") + m_model.liveAssistantSubtitle(),
        QStringLiteral("error: ") + m_model.error().value_or(QString()),
    };
    for (qsizetype i = 0; i < lines.size(); ++i) {
        const QString before = m_last.value(i);
        if (before == lines[i] || lines[i].endsWith(QStringLiteral(": ")))
            continue;
        // A speaker who goes on: only the new words.
        const qsizetype head = lines[i].indexOf(QLatin1Char(':')) + 2;
        const bool speaker = i == 1 || i == 2;
        if (speaker && before.size() > head && lines[i].startsWith(before))
            line(lines[i].left(head) + lines[i].mid(before.size()).trimmed());
        else
            line(lines[i]);
    }
    m_last = lines;
    for (const ComputerTaskSession* session : m_model.taskManager().sessions()) {
        const auto known = m_tasks.constFind(session->id());
        if (known != m_tasks.constEnd() && *known == session->state())
            continue;
        m_tasks.insert(session->id(), session->state());
        line(QStringLiteral("task ") + session->title() + QStringLiteral(": ") + rawValue(session->state()));
    }
}

void DemoTranscript::line(const QString& text)
{
    std::printf("%s\n", qPrintable(text));
    std::fflush(stdout);
    if (!m_controller)
        return;
    // In the next turn, once the island has laid itself out for the change.
    const int step = ++m_step;
    m_due.insert(step, QStringLiteral("%1-%2.png").arg(step, 2, 10, QLatin1Char('0')).arg(slug(text)));
    QTimer::singleShot(0, this, [this, step] { shoot(step, m_due.value(step)); });
}

void DemoTranscript::shoot(int step, const QString& name)
{
    if (!m_due.remove(step))
        return;
    if (m_controller->panel().grab().save(QDir(m_directory).filePath(name), "PNG"))
        ++m_saved;
}

void DemoTranscript::finish()
{
    if (m_finished)
        return;
    m_finished = true;
    const QHash<int, QString> due = m_due;
    for (auto it = due.begin(); it != due.end(); ++it)
        shoot(it.key(), it.value());
    if (m_controller)
        std::printf("Screenshots of the island (%d): %s\n", m_saved, qPrintable(m_directory));
    std::fflush(stdout);
}

} // namespace kestrabo
