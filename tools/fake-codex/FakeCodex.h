#pragma once

#include <QJsonObject>
#include <QList>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <optional>

// Test-side handle on the app-server stand-in: a scratch directory holding `codex` (a link to
// the stand-in), its scenario and the record of what it received.
namespace kestrabo::fakecodex {

// The built stand-in program.
QString programPath();

class FakeCodexDirectory {
public:
    FakeCodexDirectory();

    bool isValid() const { return m_valid; }
    QString directory() const { return m_directory.path(); }
    QString executable() const { return m_directory.filePath(QStringLiteral("codex")); }

    // Writes scenario.json; a compact JSON text is accepted as well.
    bool setScenario(const QJsonObject& scenario);
    bool setScenario(const QByteArray& json);

    // Complete lines received so far, as written by the client.
    QList<QByteArray> receivedLines() const;
    // The received lines that are JSON objects, in order.
    QList<QJsonObject> received() const;
    // Received messages with this method, or responses (no method) when `method` is empty.
    QList<QJsonObject> receivedWithMethod(const QString& method) const;
    QList<QJsonObject> responses() const { return receivedWithMethod(QString()); }
    // "#term" (SIGTERM seen), "#eof" (standard input ended).
    bool hasMarker(const QByteArray& marker) const;
    // What the stand-in saw at start: arguments, cwd, environment (CODEX_*, OPENAI_*, PATH, HOME), pid.
    std::optional<QJsonObject> startRecord() const;

private:
    QTemporaryDir m_directory;
    bool m_valid = false;
};

// Puts a directory first on PATH for its lifetime.
class PathPrefix {
public:
    explicit PathPrefix(const QString& directory);
    ~PathPrefix();
    PathPrefix(const PathPrefix&) = delete;
    PathPrefix& operator=(const PathPrefix&) = delete;

private:
    QByteArray m_saved;
    bool m_hadPath = false;
};

} // namespace kestrabo::fakecodex
