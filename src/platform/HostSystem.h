#pragma once

#include <QMap>
#include <QString>

// What this process reads about its host: its environment, the account's home directory and
// the executable-file test. Every call reads afresh; nothing is cached.
namespace kestrabo::host {

QMap<QString, QString> processEnvironment();

// The account's home directory from the password database, whatever HOME says.
QString accountHomeDirectory();

// True when the path names a regular file (symbolic links followed) that this process may
// execute.
bool isExecutableFile(const QString& path);

} // namespace kestrabo::host
