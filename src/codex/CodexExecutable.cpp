#include "codex/CodexExecutable.h"

#include <QStringList>

namespace kestrabo::CodexExecutable {

namespace {

// Appends a relative path the way a file URL does: one separator, whatever the directory ends with.
QString appending(QString directory, const QString& relative)
{
    while (directory.size() > 1 && directory.endsWith(QLatin1Char('/')))
        directory.chop(1);
    if (directory == u"/")
        return directory + relative;
    return directory + QLatin1Char('/') + relative;
}

} // namespace

QStringList candidates(const Environment& environment, const QString& home)
{
    QStringList list;
    const QString path = environment.value(QStringLiteral("PATH"));
    for (const QString& piece : path.split(QLatin1Char(':'), Qt::SkipEmptyParts)) {
        if (piece.startsWith(QLatin1Char('/')))
            list.append(appending(piece, QStringLiteral("codex")));
    }
    list.append(appending(home, QStringLiteral(".local/bin/codex")));
    list.append(QStringLiteral("/opt/homebrew/bin/codex"));
    list.append(QStringLiteral("/usr/local/bin/codex"));
    list.append(appending(home, QStringLiteral(".cargo/bin/codex")));
    return list;
}

std::optional<QString> resolve(const Environment& environment, const QString& home,
                               const std::function<bool(const QString&)>& isExecutable)
{
    for (const QString& candidate : candidates(environment, home)) {
        if (isExecutable(candidate))
            return candidate;
    }
    return std::nullopt;
}

} // namespace kestrabo::CodexExecutable
