#include "FakeCodex.h"

#include <QFile>
#include <QJsonDocument>

namespace kestrabo::fakecodex {

QString programPath()
{
    return QStringLiteral(KESTRABO_FAKE_CODEX_PATH);
}

FakeCodexDirectory::FakeCodexDirectory()
{
    m_valid = m_directory.isValid() && QFile::link(programPath(), executable());
}

bool FakeCodexDirectory::setScenario(const QJsonObject& scenario)
{
    return setScenario(QJsonDocument(scenario).toJson(QJsonDocument::Compact));
}

bool FakeCodexDirectory::setScenario(const QByteArray& json)
{
    QFile file(m_directory.filePath(QStringLiteral("scenario.json")));
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(json) == json.size();
}

QList<QByteArray> FakeCodexDirectory::receivedLines() const
{
    QFile file(m_directory.filePath(QStringLiteral("received.jsonl")));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    QByteArray content = file.readAll();
    // A line still being written has no line feed yet.
    content.truncate(content.lastIndexOf('\n') + 1);
    QList<QByteArray> lines = content.split('\n');
    lines.removeLast();
    return lines;
}

QList<QJsonObject> FakeCodexDirectory::received() const
{
    QList<QJsonObject> messages;
    for (const QByteArray& line : receivedLines()) {
        if (line.startsWith('#'))
            continue;
        const QJsonDocument document = QJsonDocument::fromJson(line);
        if (document.isObject())
            messages.append(document.object());
    }
    return messages;
}

QList<QJsonObject> FakeCodexDirectory::receivedWithMethod(const QString& method) const
{
    QList<QJsonObject> matching;
    for (const QJsonObject& message : received()) {
        const bool hasMethod = message.contains(u"method");
        if (method.isEmpty() ? !hasMethod : message.value(u"method").toString() == method)
            matching.append(message);
    }
    return matching;
}

bool FakeCodexDirectory::hasMarker(const QByteArray& marker) const
{
    return receivedLines().contains(marker);
}

std::optional<QJsonObject> FakeCodexDirectory::startRecord() const
{
    for (const QByteArray& line : receivedLines()) {
        if (line.startsWith("#start "))
            return QJsonDocument::fromJson(line.mid(7)).object();
    }
    return std::nullopt;
}

PathPrefix::PathPrefix(const QString& directory)
    : m_saved(qgetenv("PATH")), m_hadPath(qEnvironmentVariableIsSet("PATH"))
{
    QByteArray path = QFile::encodeName(directory);
    if (!m_saved.isEmpty())
        path += ':' + m_saved;
    qputenv("PATH", path);
}

PathPrefix::~PathPrefix()
{
    if (m_hadPath)
        qputenv("PATH", m_saved);
    else
        qunsetenv("PATH");
}

} // namespace kestrabo::fakecodex
