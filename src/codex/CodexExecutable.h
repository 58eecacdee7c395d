#pragma once

#include <QMap>
#include <QString>

#include <functional>
#include <optional>

namespace kestrabo {

// A process environment as a plain map; derived copies only, the process's own is never changed.
using Environment = QMap<QString, QString>;

// Where the user's Codex CLI lives. Pure over its inputs, so it runs against any environment.
namespace CodexExecutable {

// The absolute path of the first candidate that passes `isExecutable`: every absolute PATH
// directory in order, then ~/.local/bin, /opt/homebrew/bin, /usr/local/bin and ~/.cargo/bin.
std::optional<QString> resolve(const Environment& environment, const QString& home,
                               const std::function<bool(const QString&)>& isExecutable);

// Every candidate `resolve` tests, in order (duplicates kept).
QStringList candidates(const Environment& environment, const QString& home);

} // namespace CodexExecutable

} // namespace kestrabo
