#include "e2e/TaskConversation.h"

#include <QDateTime>
#include <QJsonDocument>
#include <QDirIterator>
#include <QFile>
#include <QUuid>

#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

using namespace kestrabo;
using namespace kestrabo::test;

namespace {

// Everything this process writes to fds 1 and 2 while it lives.
class CapturedOutput {
public:
    CapturedOutput()
    {
        std::fflush(nullptr);
        m_file = ::open(m_directory.filePath("output").toLocal8Bit().constData(), O_CREAT | O_RDWR | O_TRUNC, 0600);
        for (int fd : {1, 2}) {
            m_saved[fd - 1] = ::dup(fd);
            ::dup2(m_file, fd);
        }
    }
    QByteArray finish()
    {
        std::fflush(nullptr);
        for (int fd : {1, 2}) {
            ::dup2(m_saved[fd - 1], fd);
            ::close(m_saved[fd - 1]);
        }
        ::close(m_file);
        QFile file(m_directory.filePath("output"));
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<unreadable>");
    }

private:
    QTemporaryDir m_directory;
    int m_file = -1;
    int m_saved[2] = {-1, -1};
};

QByteArray readFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.read(16 << 20) : QByteArray();
}

// Files under `root` written since `since` that hold `secret`.
QStringList filesHolding(const QString& root, const QByteArray& secret, const QDateTime& since)
{
    QStringList found;
    QDirIterator it(root, QDir::Files | QDir::Hidden | QDir::NoSymLinks, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        const QFileInfo info = it.fileInfo();
        if (info.lastModified() >= since && info.size() <= (16 << 20) && readFile(path).contains(secret))
            found.append(path);
    }
    return found;
}

} // namespace

TEST(SecretHygiene, TheKeyTravelsOnlyInAuthorizationHeaders)
{
    const QByteArray key = "sk-hygiene-" + QUuid::createUuid().toByteArray(QUuid::Id128);
    const QDateTime since = QDateTime::currentDateTime().addSecs(-2);
    QTemporaryDir home;
    const QByteArray savedHome = qgetenv("HOME");
    qputenv("HOME", home.path().toLocal8Bit());
    CapturedOutput output;
    QByteArrayList childTraces;
    {
        TaskConversation c(scenario::question, {routeReply("task", false, {{"tasks", QJsonArray{"Book a table"}}})});
        ASSERT_TRUE(c.open(QString::fromLatin1(key)));
        c.say("Book a table for two", 0, 900);
        c.delegate("d1");
        ASSERT_TRUE(c.allWaiting(1));
        // Every child of ours while the task runs: its environment and its arguments.
        for (long long pid : childProcesses()) {
            for (const char* part : {"environ", "cmdline"})
                childTraces.append(readFile(QStringLiteral("/proc/%1/%2").arg(pid).arg(part)));
        }
        EXPECT_FALSE(childTraces.isEmpty());
        answerDay(c.sessions()[0]);
        ASSERT_TRUE(c.waitForAnswer("d1"));
        c.model->quit();

        // Where the key belongs: every handshake and every request carried it, and only there.
        const QByteArray bearer = "Bearer " + key;
        const auto events = c.voice.received();
        ASSERT_FALSE(events.isEmpty());
        for (const auto& event : events) {
            EXPECT_EQ(event.authorization, bearer);
            EXPECT_FALSE(QJsonDocument(event.event).toJson().contains(key));
        }
        const auto requests = c.responses.received();
        ASSERT_FALSE(requests.isEmpty());
        for (const auto& request : requests) {
            EXPECT_FALSE(request.body.contains(key));
            int authorizations = 0;
            for (const auto& [name, value] : request.headers) {
                const bool authorization = name.compare("authorization", Qt::CaseInsensitive) == 0;
                authorizations += authorization && value == bearer;
                EXPECT_TRUE(authorization || !value.contains(key)) << name.constData();
            }
            EXPECT_EQ(authorizations, 1);
        }
        for (const QByteArray& line : c.codex.receivedLines())
            EXPECT_FALSE(line.contains(key)) << line.constData();
    }
    const QByteArray printed = output.finish();
    qputenv("HOME", savedHome);
    EXPECT_FALSE(printed.contains(key));
    for (const QByteArray& trace : childTraces)
        EXPECT_FALSE(trace.contains(key));
    EXPECT_EQ(filesHolding(home.path(), key, since), QStringList());
    EXPECT_EQ(filesHolding(QDir::tempPath(), key, since), QStringList());
}
