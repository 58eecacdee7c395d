#include "support/TestSupport.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QDeadlineTimer>
#include <QThread>

#include <cerrno>
#include <csignal>
#include <unistd.h>

namespace kestrabo::test {

bool waitUntil(const std::function<bool()>& condition, int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs, Qt::PreciseTimer);
    while (!condition()) {
        if (deadline.hasExpired())
            return condition();
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(1);
    }
    return true;
}

void spin(int milliseconds)
{
    QDeadlineTimer deadline(milliseconds, Qt::PreciseTimer);
    while (!deadline.hasExpired()) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(1);
    }
}

bool processGone(long long pid)
{
    return pid > 0 && ::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH;
}

int openDescriptors()
{
    return static_cast<int>(QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::Files | QDir::System).size());
}

QStringList descriptorLinks()
{
    QStringList links;
    const QDir directory(QStringLiteral("/proc/self/fd"));
    for (const QString& entry : directory.entryList(QDir::Files | QDir::System)) {
        const QString target = QFile::symLinkTarget(directory.filePath(entry));
        if (!target.isEmpty()) // the listing's own descriptor is gone by now
            links.append(entry + QStringLiteral(" -> ") + target);
    }
    return links;
}

std::string newDescriptors(const QStringList& before)
{
    QStringList fresh = descriptorLinks();
    fresh.removeIf([&](const QString& link) { return before.contains(link); });
    return fresh.join(QStringLiteral(", ")).toStdString();
}

int threadCount()
{
    return static_cast<int>(QDir(QStringLiteral("/proc/self/task")).entryList(QDir::Dirs | QDir::NoDotAndDotDot).size());
}

QList<long long> childProcesses()
{
    QList<long long> children;
    const QStringList entries = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString& entry : entries) {
        bool numeric = false;
        const long long pid = entry.toLongLong(&numeric);
        QFile stat(QStringLiteral("/proc/%1/stat").arg(entry));
        if (!numeric || !stat.open(QIODevice::ReadOnly))
            continue;
        // "pid (name) state ppid …"; the name may hold spaces and parentheses.
        const QByteArray line = stat.readAll();
        const QList<QByteArray> fields = line.mid(line.lastIndexOf(')') + 2).split(' ');
        if (fields.size() > 1 && fields[1].toLongLong() == ::getpid())
            children.append(pid);
    }
    return children;
}

QString fixturePath(const QString& name)
{
    return QStringLiteral(KESTRABO_SOURCE_DIR "/tests/fixtures/") + name;
}

} // namespace kestrabo::test
