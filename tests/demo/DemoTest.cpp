// The first run: scripts/demo on a machine with no sound server and no display plays the whole
// demo conversation, with the stand-ins, a private display and a private sound server.

#include "support/TestSupport.h"

#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QTcpSocket>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace kestrabo;

TEST(Demo, PlaysTheWholeConversationWithoutASoundServerOrADisplay)
{
    QTemporaryDir home;
    ASSERT_TRUE(home.isValid());
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "OPENAI_BASE_URL", "XDG_RUNTIME_DIR", "XDG_CONFIG_HOME"})
        environment.remove(QString::fromLatin1(name));
    environment.insert(QStringLiteral("HOME"), home.path());
    environment.insert(QStringLiteral("TMPDIR"), home.path());
    environment.insert(QStringLiteral("PULSE_SERVER"), QStringLiteral("unix:") + home.filePath(QStringLiteral("none")));

    QProcess demo;
    demo.setProcessEnvironment(environment);
    demo.setProcessChannelMode(QProcess::SeparateChannels);
    demo.start(QStringLiteral(KESTRABO_SOURCE_DIR "/scripts/demo"), {QStringLiteral(KESTRABO_BINARY_DIR)});
    ASSERT_TRUE(demo.waitForFinished(90'000));
    const QString output = QString::fromUtf8(demo.readAllStandardOutput());
    const QString errors = QString::fromUtf8(demo.readAllStandardError());
    EXPECT_EQ(demo.exitCode(), 0) << errors.toStdString();

    const QStringList lines = output.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    // The turns, in order: greeting, the spoken question, the screen reading, the answer, the end.
    const QStringList turns{
        QStringLiteral("Sound: a private sound server (no sound server was reachable)"),
        QStringLiteral("state: I'm listening"),
        QStringLiteral("kestrabo: Hi! How can I help?"),
        QStringLiteral("you: What's on my screen right now?"),
        QStringLiteral("state: Reading your screen"),
        QStringLiteral("kestrabo: Here is what I found on your screen."),
        QStringLiteral("seconds: 8"),
        QStringLiteral("state: Conversation ended"),
    };
    qsizetype at = 0;
    for (const QString& turn : turns) {
        const qsizetype found = lines.indexOf(turn, at);
        EXPECT_GE(found, 0) << "missing in order: " << turn.toStdString() << "\n" << output.toStdString();
        at = std::max(at, found + 1);
    }
    EXPECT_EQ(lines.last(), QStringLiteral("state: Conversation ended")) << output.toStdString();
    for (const QString& line : lines)
        EXPECT_FALSE(line.startsWith(QStringLiteral("error:"))) << line.toStdString();
    // Everything it started has stopped: the stand-ins' ports are closed, the display is gone.
    const QRegularExpression started(QStringLiteral(
        R"(^Voice stand-in at http://127.0.0.1:(\d+)/v1; Responses stand-in at http://127.0.0.1:(\d+)/v1; screen: private display :(\d+)$)"));
    const QRegularExpressionMatch match = started.match(lines.value(lines.indexOf(started)));
    ASSERT_TRUE(match.hasMatch()) << output.toStdString();
    for (int port : {match.captured(1).toInt(), match.captured(2).toInt()}) {
        QTcpSocket probe;
        probe.connectToHost(QStringLiteral("127.0.0.1"), quint16(port));
        EXPECT_FALSE(probe.waitForConnected(1'000)) << "port " << port << " still open";
    }
    EXPECT_FALSE(QFileInfo::exists(QStringLiteral("/tmp/.X11-unix/X") + match.captured(3)));
    // Nothing written under the home but what the demo cleaned up after itself.
    EXPECT_TRUE(QDir(home.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden).isEmpty())
        << QDir(home.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden).join(u' ').toStdString();
}
