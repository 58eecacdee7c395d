#pragma once

#include <QJsonDocument>
#include <QJsonObject>
#include <QList>
#include <QProcess>
#include <QString>
#include <QTemporaryDir>

#include <functional>
#include <optional>
#include <ostream>
#include <string>

// Readable failure messages for Qt strings.
inline void PrintTo(const QString& text, std::ostream* os) { *os << '"' << text.toStdString() << '"'; }
inline void PrintTo(const std::optional<QString>& text, std::ostream* os)
{
    if (text)
        PrintTo(*text, os);
    else
        *os << "none";
}

namespace kestrabo::test {

// Runs the event loop until `condition` holds or `timeoutMs` passes; returns the condition.
bool waitUntil(const std::function<bool()>& condition, int timeoutMs = 5'000);

// A JSON object written as text.
inline QJsonObject json(const QByteArray& text) { return QJsonDocument::fromJson(text).object(); }

// For real child processes on a loaded machine: a generous wait, and no duration asserted.
inline bool eventually(const std::function<bool()>& condition) { return waitUntil(condition, 10'000); }

// A service event: `fields` with its "type".
inline QJsonObject event(const QString& type, QJsonObject fields = {})
{
    fields.insert(QStringLiteral("type"), type);
    return fields;
}

// Runs the event loop for `milliseconds`.
void spin(int milliseconds);

// Ends a child we started, by its PID: SIGTERM, then SIGKILL after `graceMs`. Inline, so that
// programs linking only a fixture (the benchmarks) have it too.
inline void stopProcess(QProcess& process, int graceMs = 5'000)
{
    if (process.state() == QProcess::NotRunning)
        return;
    process.terminate();
    if (!process.waitForFinished(graceMs)) {
        process.kill();
        process.waitForFinished(5'000);
    }
}

// True when no process with this id exists (an exited child that was reaped).
bool processGone(long long pid);

// What a fault may leak: this process's open descriptors, and its live (or unreaped) children.
int openDescriptors();
QList<long long> childProcesses();
// Each open descriptor as "number -> target" (socket:[inode], pipe:[inode], a path): after a
// fault that also ended another process, the descriptors it held are gone and none may be new.
QStringList descriptorLinks();
// What is open now that was not in `before` (a descriptorLinks() list), as "n -> target, …".
std::string newDescriptors(const QStringList& before);
// Threads of this process.
int threadCount();

// A path under the source tree's tests/fixtures folder.
QString fixturePath(const QString& name);

} // namespace kestrabo::test
