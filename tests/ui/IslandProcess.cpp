#include "ui/IslandProcess.h"

#include "ui/IslandFixture.h"
#include "support/TestSupport.h"
#include "ui/IslandPanel.h"
#include "ui/PanelController.h"
#include "codex/CodexRPC.h"
#include "codex/CodexWorker.h"

#include <QApplication>
#include <QDeadlineTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QPainter>
#include <QSocketNotifier>
#include <QTimer>

#include <cstdio>
#include <unistd.h>

namespace kestrabo::test {

namespace {

constexpr const char* kVariable = "KESTRABO_TEST_ISLAND";

// Lays the panel over a calm backdrop, as it would sit at the top of a desktop.
QImage screenshot(QWidget& panel)
{
    const QImage island = panel.grab().toImage();
    QImage shot(island.width() + 120, island.height() + 60, QImage::Format_RGB32);
    QPainter painter(&shot);
    QLinearGradient backdrop(0, 0, 0, shot.height());
    backdrop.setColorAt(0, QColor(92, 112, 138));
    backdrop.setColorAt(1, QColor(150, 164, 180));
    painter.fillRect(shot.rect(), backdrop);
    painter.drawImage((shot.width() - island.width()) / 2, 0, island);
    return shot;
}

[[noreturn]] void runIsland(const QByteArray& display)
{
    qputenv("DISPLAY", display);
    qputenv("QT_QPA_PLATFORM", "xcb");
    qputenv("OPENAI_BASE_URL", "http://127.0.0.1:9/v1");
    static int argc = 1;
    static char name[] = "island";
    static char* argv[] = {name, nullptr};
    QApplication app(argc, argv);
    int code = 0;
    {
        IslandFixture fixture;
        StandInTasks tasks;
        AppModel& model = *fixture.model;
        PanelController controller(model, {.reduceMotion = [] { return true; }});
        const auto reply = [](const QString& text) {
            std::printf("%s\n", qPrintable(text));
            std::fflush(stdout);
        };
        QByteArray pending;
        QSocketNotifier input(0, QSocketNotifier::Read);
        QObject::connect(&input, &QSocketNotifier::activated, &app, [&] {
            char buffer[512];
            const ssize_t got = read(0, buffer, sizeof buffer);
            if (got <= 0) {
                app.quit();
                return;
            }
            pending.append(buffer, got);
            for (qsizetype end; (end = pending.indexOf('\n')) >= 0; pending.remove(0, end + 1)) {
                const QString line = QString::fromUtf8(pending.left(end));
                const QString verb = line.section(QLatin1Char(' '), 0, 0);
                if (verb == QLatin1String("expand") || verb == QLatin1String("collapse")) {
                    model.setExpanded(verb == QLatin1String("expand"));
                } else if (verb == QLatin1String("settings")) {
                    model.setExpanded(true);
                    model.setSettings(true);
                } else if (verb == QLatin1String("ready")) {
                    model.setApiKey(QStringLiteral("sk-saved"));
                    model.persistCurrentKey();
                    model.setExpanded(true);
                    model.setSettings(false);
                } else if (verb == QLatin1String("conversation")) {
                    fixture.startConversation();
                    model.receive({{QStringLiteral("type"), QStringLiteral("session.started")}});
                    fixture.transcript(true, QStringLiteral("What's the bird on this page?"), 0);
                    fixture.transcript(false, QStringLiteral("That's a common kestrel, hovering before it dives."),
                                       900);
                    model.setSettings(false);
                } else if (verb == QLatin1String("tasks")) {
                    // One task at work, one holding an approval, one asking a question.
                    tasks.start(model, R"({"handshake": {}}, {"delta": {"itemId": "m", "delta": "Comparing three quiet restaurants near the river for Friday."}}, {"expect": "never/sent"})",
                                QStringLiteral("Find a quiet restaurant for Friday"));
                    tasks.start(model, R"({"handshake": {}}, {"serverRequest": "mcpServer/elicitation/request", "params": {"message": "Allow the calendar app?", "mode": "form", "_meta": {"codex_approval_kind": "mcp_tool_call"}, "requestedSchema": {"properties": {}}}, "await": true})",
                                QStringLiteral("Add the dinner to my calendar"));
                    tasks.start(model, R"({"handshake": {}}, {"serverRequest": "item/tool/requestUserInput", "params": {"itemId": "c", "questions": [{"id": "time", "header": "Time", "question": "Which table should I hold?", "isOther": true, "options": [{"label": "7:30 pm", "description": "Window table, two guests"}, {"label": "8:15 pm", "description": ""}]}]}, "await": true})",
                                QStringLiteral("Reserve the table"));
                    waitUntil([&] {
                        const QList<ComputerTaskSession*>& sessions = model.taskManager().sessions();
                        return sessions.size() == 3 && sessions[0]->state() == ComputerTaskState::working
                               && sessions[1]->worker().approvalPending()
                               && !sessions[2]->worker().pendingQuestions().isEmpty();
                    }, 10'000);
                    model.setExpanded(true);
                } else if (verb == QLatin1String("shot")) {
                    screenshot(controller.panel()).save(line.section(QLatin1Char(' '), 1));
                }
                // Answers once the layout pass and painting have run.
                QTimer::singleShot(150, &app, [&, reply] {
                    const QRect f = controller.panel().geometry();
                    const QWidget* field = controller.panel().findChild<QWidget*>(QStringLiteral("settings.apiKey"));
                    const QPoint c = field->mapToGlobal(field->rect().center());
                    const QJsonObject state{{"expanded", model.expanded()},
                                            {"frame", QJsonArray{f.x(), f.y(), f.width(), f.height()}},
                                            {"window", double(controller.panel().winId())},
                                            {"field", QJsonArray{c.x(), c.y()}},
                                            {"key", model.apiKey()}};
                    reply(QString::fromUtf8(QJsonDocument(state).toJson(QJsonDocument::Compact)));
                });
            }
        });
        reply(QStringLiteral("ready"));
        code = app.exec();
    }
    _exit(code);
}

} // namespace

bool IslandProcess::start(const QByteArray& display)
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QLatin1String(kVariable), QString::fromLatin1(display));
    m_process.setProcessEnvironment(environment);
    m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_process.start(QCoreApplication::applicationFilePath());
    if (!m_process.waitForStarted(5'000))
        return false;
    for (QDeadlineTimer deadline(15'000); !m_process.canReadLine(); m_process.waitForReadyRead(50))
        if (deadline.hasExpired() || m_process.state() == QProcess::NotRunning)
            return false;
    return m_process.readLine().trimmed() == "ready";
}

QString IslandProcess::command(const QString& line)
{
    m_process.write(line.toUtf8() + '\n');
    for (QDeadlineTimer deadline(10'000); !m_process.canReadLine(); m_process.waitForReadyRead(50))
        if (deadline.hasExpired() || m_process.state() == QProcess::NotRunning)
            return {};
    return QString::fromUtf8(m_process.readLine().trimmed());
}

IslandProcess::State IslandProcess::state()
{
    const QJsonObject reply = QJsonDocument::fromJson(command(QStringLiteral("state")).toUtf8()).object();
    const QJsonArray frame = reply["frame"].toArray(), field = reply["field"].toArray();
    return {reply["expanded"].toBool(), QRect(frame[0].toInt(), frame[1].toInt(), frame[2].toInt(), frame[3].toInt()),
            quint64(reply["window"].toDouble()), QPoint(field[0].toInt(), field[1].toInt()), reply["key"].toString()};
}

void IslandProcess::stop()
{
    if (m_process.state() == QProcess::NotRunning)
        return;
    m_process.closeWriteChannel();
    if (!m_process.waitForFinished(5'000))
        test::stopProcess(m_process);
}

} // namespace kestrabo::test

extern "C" void kestraboTestPreMain()
{
    if (const QByteArray display = qgetenv(kestrabo::test::kVariable); !display.isEmpty())
        kestrabo::test::runIsland(display);
}
