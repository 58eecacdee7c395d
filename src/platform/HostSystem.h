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

// True under a Wayland session (XDG_SESSION_TYPE=wayland or WAYLAND_DISPLAY set), where an X
// client sees neither global keys nor other clients' pixels.
bool isWaylandSession();
bool isWaylandSession(const QMap<QString, QString>& environment);

// What does not work under Wayland, said once for every place that shows it.
inline constexpr const char* waylandShortcutUnavailable =
    "The conversation key needs an X11 session. Start talking and Hey, kestrabo still work.";
inline constexpr const char* waylandScreenUnavailable =
    "Screen capture needs an X11 session. Under Wayland Kestrabo cannot read the screen.";

} // namespace kestrabo::host
