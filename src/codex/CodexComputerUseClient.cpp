#include "codex/CodexComputerUseClient.h"

#include "platform/HostSystem.h"

#include <QDir>

namespace kestrabo {

CodexComputerUseClient::CodexComputerUseClient(QString executable, QStringList arguments,
                                               QMap<QString, QString> environment, double timeoutSeconds,
                                               std::function<bool()> accessibilityTrusted, QObject* parent)
    : QObject(parent), m_executable(std::move(executable)), m_arguments(std::move(arguments)),
      m_environment(std::move(environment)), m_timeout(timeoutSeconds),
      m_accessibilityTrusted(std::move(accessibilityTrusted))
{
}

QMap<QString, QString> CodexComputerUseClient::helperEnvironment(const QString& home)
{
    return {{QStringLiteral("HOME"), home},
            {QStringLiteral("CODEX_HOME"), QDir(home).filePath(QStringLiteral(".codex"))},
            {QStringLiteral("PATH"), QStringLiteral("/usr/bin:/bin:/usr/sbin:/sbin")},
            {QStringLiteral("LANG"), QStringLiteral("en_US.UTF-8")}};
}

CodexComputerUseClient& CodexComputerUseClient::shared()
{
    // No helper exists for Linux: no executable, and nothing to trust.
    static CodexComputerUseClient* client = [] {
        auto* made = new CodexComputerUseClient(QString(), {QStringLiteral("mcp")},
                                                helperEnvironment(host::accountHomeDirectory()),
                                                defaultTimeoutSeconds, [] { return false; });
        made->setAvailability(false, QStringLiteral("Codex Computer Use is not available on Linux."));
        return made;
    }();
    return *client;
}

void CodexComputerUseClient::setAvailability(bool available, const QString& status)
{
    const bool availabilityChanged = available != m_available;
    if (!availabilityChanged && status == m_status)
        return;
    m_available = available;
    m_status = status;
    Q_EMIT changed();
    if (availabilityChanged)
        Q_EMIT availableChanged(available);
}

void CodexComputerUseClient::setExternalAccessDenied(bool denied)
{
    if (denied == m_externalAccessDenied)
        return;
    m_externalAccessDenied = denied;
    Q_EMIT changed();
}

} // namespace kestrabo
