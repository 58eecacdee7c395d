#include "platform/HostSystem.h"

#include <QDir>
#include <QFileInfo>
#include <QProcessEnvironment>

#include <pwd.h>
#include <unistd.h>

#include <vector>

namespace kestrabo::host {

QMap<QString, QString> processEnvironment()
{
    const QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    QMap<QString, QString> map;
    for (const QString& key : environment.keys())
        map.insert(key, environment.value(key));
    return map;
}

QString accountHomeDirectory()
{
    long size = sysconf(_SC_GETPW_R_SIZE_MAX);
    if (size <= 0)
        size = 16'384;
    std::vector<char> storage(static_cast<size_t>(size));
    passwd entry{};
    passwd* found = nullptr;
    if (getpwuid_r(getuid(), &entry, storage.data(), storage.size(), &found) == 0 && found
        && found->pw_dir && *found->pw_dir)
        return QString::fromLocal8Bit(found->pw_dir);
    return QDir::homePath();
}

bool isExecutableFile(const QString& path)
{
    const QByteArray native = QFile::encodeName(path);
    return !native.isEmpty() && access(native.constData(), X_OK) == 0 && QFileInfo(path).isFile();
}

bool isWaylandSession(const QMap<QString, QString>& environment)
{
    return environment.value(QStringLiteral("XDG_SESSION_TYPE")).compare(QLatin1String("wayland"), Qt::CaseInsensitive) == 0
        || !environment.value(QStringLiteral("WAYLAND_DISPLAY")).isEmpty();
}

bool isWaylandSession()
{
    return isWaylandSession(processEnvironment());
}

} // namespace kestrabo::host
