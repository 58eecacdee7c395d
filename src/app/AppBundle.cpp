#include "app/AppBundle.h"

#include "app/AppModel.h"

#include <QDir>
#include <QFileInfo>
#include <QProcess>

namespace kestrabo {

AppBundle AppBundle::current()
{
    return at(QFileInfo(QStringLiteral("/proc/self/exe")).canonicalFilePath());
}

AppBundle AppBundle::at(const QString& path)
{
    AppBundle bundle;
    bundle.location = path;
    const QFileInfo executable(path);
    QDir prefix = executable.absoluteDir();
    if (prefix.dirName() != u"bin" || !prefix.cdUp())
        return bundle;
    if (!QFileInfo::exists(prefix.filePath(QStringLiteral("share/applications/") + QLatin1String(identifierName)
                                           + QStringLiteral(".desktop"))))
        return bundle;
    bundle.identifier = QString::fromLatin1(identifierName);
    bundle.version = QStringLiteral(KESTRABO_VERSION);
    bundle.buildDate = QStringLiteral(KESTRABO_BUILD_DATE);
    return bundle;
}

QString AppBundle::buildLabel() const
{
    if (!version)
        return QStringLiteral("Development build");
    const QString date = buildDate.value_or(QString());
    return date.isEmpty() ? QStringLiteral("Build ") + *version : QStringLiteral("Build ") + *version + QStringLiteral(". ") + date;
}

ProcessLauncher detachedLauncher()
{
    return [](const QString& program, const QStringList& arguments) {
        QProcess process;
        process.setProgram(program);
        process.setArguments(arguments);
        process.setStandardInputFile(QProcess::nullDevice());
        process.setStandardOutputFile(QProcess::nullDevice());
        process.setStandardErrorFile(QProcess::nullDevice());
        return process.startDetached();
    };
}

void relaunch(const AppBundle& bundle, AppModel& model, const ProcessLauncher& launch)
{
    if (!bundle.installed()) {
        model.setError(QStringLiteral("Quit and reopen Kestrabo to refresh system permissions."));
        return;
    }
    const QStringList arguments{QStringLiteral("-c"), QStringLiteral("sleep 1; exec \"$1\""),
                                QStringLiteral("kestrabo-relaunch"), bundle.location};
    if (!launch(QStringLiteral("/bin/sh"), arguments)) {
        model.setError(QStringLiteral("Kestrabo could not reopen itself. Quit and open it again manually."));
        return;
    }
    model.quit();
}

} // namespace kestrabo
