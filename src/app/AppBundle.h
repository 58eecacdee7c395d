#pragma once

#include <QString>
#include <QStringList>

#include <functional>
#include <optional>

namespace kestrabo {

class AppModel;

// The installed application plays the role of a bundle: an executable in PREFIX/bin beside
// PREFIX/share/applications/<identifier>.desktop. A run from the build tree has no bundle, so
// it has no identifier and no version.
struct AppBundle {
    static constexpr const char* identifierName = "com.vorn.kestrabo";

    std::optional<QString> identifier;
    std::optional<QString> version;
    std::optional<QString> buildDate;
    // The executable's path.
    QString location;

    // This process's own executable.
    static AppBundle current();
    // The executable at `path`, with this build's version and date when it is installed.
    static AppBundle at(const QString& path);

    bool installed() const { return identifier.has_value(); }
    // "Development build", "Build 0.1.0" or "Build 0.1.0. 2026-12-06".
    QString buildLabel() const;
};

// Starts a detached program with its output going nowhere; true when it started.
using ProcessLauncher = std::function<bool(const QString& program, const QStringList& arguments)>;
ProcessLauncher detachedLauncher();

// Reopens Kestrabo after permission changes: a shell waits one second for this instance to end
// and then runs the installed executable again. Outside an installed tree, or when the shell
// cannot start, the model shows why and keeps running.
void relaunch(const AppBundle& bundle, AppModel& model, const ProcessLauncher& launch);

} // namespace kestrabo
