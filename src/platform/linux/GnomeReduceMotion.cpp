#include "platform/ReduceMotion.h"

#include <QProcess>
#include <QStandardPaths>

namespace kestrabo::platform {

bool reduceMotion()
{
    if (qEnvironmentVariable("KESTRABO_REDUCE_MOTION") == QLatin1String("1"))
        return true;
    static const bool animationsOff = [] {
        const QString gsettings = QStandardPaths::findExecutable(QStringLiteral("gsettings"));
        if (gsettings.isEmpty())
            return false;
        QProcess process;
        process.setStandardErrorFile(QProcess::nullDevice());
        process.start(gsettings, {QStringLiteral("get"), QStringLiteral("org.gnome.desktop.interface"),
                                  QStringLiteral("enable-animations")});
        if (!process.waitForFinished(500)) {
            process.kill();
            process.waitForFinished(500);
            return false;
        }
        return process.readAllStandardOutput().trimmed() == "false";
    }();
    return animationsOff;
}

} // namespace kestrabo::platform
