// The first run: scripts/demo on a machine with no sound server and no display plays the whole
// demo, with the stand-ins, a private display and a private sound server.

#include "support/TestSupport.h"

#include <QDir>
#include <QFileInfo>
#include <QImage>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <sys/prctl.h>
#include <sys/wait.h>

using namespace kestrabo;

namespace {

QStringList hidden(const QString& path)
{
    return QDir(path).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden);
}

} // namespace

TEST(Demo, PlaysTheWholeAppWithoutASoundServerOrADisplay)
{
    // Whatever the demo leaves running comes back to this process, where it can be seen.
    ASSERT_EQ(::prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
    QTemporaryDir home, work;
    ASSERT_TRUE(home.isValid() && work.isValid());
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "OPENAI_BASE_URL", "XDG_RUNTIME_DIR", "XDG_CONFIG_HOME"})
        environment.remove(QString::fromLatin1(name));
    environment.insert(QStringLiteral("HOME"), home.path());
    environment.insert(QStringLiteral("TMPDIR"), home.path());
    environment.insert(QStringLiteral("PULSE_SERVER"), QStringLiteral("unix:") + home.filePath(QStringLiteral("none")));

    QProcess demo;
    demo.setProcessEnvironment(environment);
    demo.setWorkingDirectory(work.path());
    demo.start(QStringLiteral(KESTRABO_SOURCE_DIR "/scripts/demo"), {QStringLiteral(KESTRABO_BINARY_DIR)});
    ASSERT_TRUE(demo.waitForFinished(120'000));
    const QString output = QString::fromUtf8(demo.readAllStandardOutput());
    EXPECT_EQ(demo.exitCode(), 0) << demo.readAllStandardError().toStdString();
    const QStringList lines = output.split(QLatin1Char('\n'), Qt::SkipEmptyParts);

    // The turns in order: a task at work, its question answered by voice, the report once both
    // tasks have finished, the end. (What either side says is the stand-in's script.)
    const QString packing = QStringLiteral("Write a packing list for the trip");
    const QString notes = QStringLiteral("Tidy up the notes folder");
    const QString answer = QStringLiteral("answer to ") + packing + QStringLiteral(": Lisbon, for five days.");
    const QString report = QStringLiteral("kestrabo: Both tasks are done. Your packing list and your notes are ready.");
    const QStringList turns{
        QStringLiteral("Sound: a private sound server (no sound server was reachable)"),
        QStringLiteral("state: I'm listening"),
        QStringLiteral("task ") + packing + QStringLiteral(": working"),
        QStringLiteral("question from ") + packing + QStringLiteral(": Which city are you travelling to?"),
        answer,
        QStringLiteral("task ") + packing + QStringLiteral(": completed"),
        report,
        QStringLiteral("state: Conversation ended"),
    };
    qsizetype at = 0;
    for (const QString& turn : turns) {
        const qsizetype found = lines.indexOf(turn, at);
        EXPECT_GE(found, 0) << "missing in order: " << turn.toStdString() << "\n" << output.toStdString();
        at = std::max(at, found + 1);
    }
    EXPECT_LT(lines.indexOf(QStringLiteral("task ") + notes + QStringLiteral(": working")), lines.indexOf(answer))
        << "the tasks ran side by side\n" << output.toStdString();
    EXPECT_LT(lines.indexOf(QStringLiteral("task ") + notes + QStringLiteral(": completed")), lines.indexOf(report));
    EXPECT_EQ(lines.filter(QStringLiteral("question from ")).size(), 1) << output.toStdString();
    EXPECT_TRUE(lines.filter(QRegularExpression(QStringLiteral("^error:"))).isEmpty()) << output.toStdString();

    // A picture of the island for each step, numbered and named after it.
    const QString directory = QDir(work.path()).filePath(QStringLiteral(".build/demo"));
    ASSERT_FALSE(lines.isEmpty());
    const QStringList pictures = QDir(directory).entryList({QStringLiteral("*.png")}, QDir::Files, QDir::Name);
    EXPECT_EQ(lines.last(), QStringLiteral("Screenshots of the island (%1): %2").arg(pictures.size()).arg(directory));
    EXPECT_GE(pictures.size(), turns.size() + 3);
    for (const QString& name : {QStringLiteral("question-from-write-a-packing-list"), QStringLiteral("state-conversation-ended")})
        EXPECT_EQ(pictures.filter(name).size(), 1) << name.toStdString() << ": " << pictures.join(u' ').toStdString();
    const QImage last(QDir(directory).filePath(pictures.value(pictures.size() - 1)));
    EXPECT_GE(last.width(), 200);
    EXPECT_GE(last.height(), 300);

    // Everything it started has ended (stand-ins, display, sound server, Codex children), and
    // nothing was left in the home.
    ASSERT_TRUE(test::waitUntil([] {
        const QList<long long> children = test::childProcesses();
        for (long long pid : children)
            ::waitpid(pid_t(pid), nullptr, WNOHANG);
        return test::childProcesses().isEmpty();
    }, 5'000)) << "still running: " << test::childProcesses().size();
    EXPECT_TRUE(hidden(home.path()).isEmpty()) << hidden(home.path()).join(u' ').toStdString();
}
