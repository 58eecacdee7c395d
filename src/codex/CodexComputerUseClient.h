#pragma once

#include <QMap>
#include <QObject>
#include <QString>
#include <QStringList>

#include <functional>

namespace kestrabo {

// What a browser workspace acts through when it performs computer actions.
class CodexComputerUseTransport {
public:
    virtual ~CodexComputerUseTransport() = default;
};

// The Codex Computer Use helper: its launch configuration and whether computer use is usable.
// The helper is not shipped for Linux, so the shared instance stays unavailable and says so;
// `available` only turns true once a helper is actually usable.
class CodexComputerUseClient : public QObject, public CodexComputerUseTransport {
    Q_OBJECT
public:
    static constexpr double defaultTimeoutSeconds = 5;

    CodexComputerUseClient(QString executable, QStringList arguments, QMap<QString, QString> environment,
                           double timeoutSeconds, std::function<bool()> accessibilityTrusted,
                           QObject* parent = nullptr);

    // Created on first use, on the main thread, for the whole process.
    static CodexComputerUseClient& shared();
    // The helper's environment, built from scratch around the account's home directory.
    static QMap<QString, QString> helperEnvironment(const QString& home);

    bool available() const { return m_available; }
    bool externalAccessDenied() const { return m_externalAccessDenied; }
    const QString& status() const { return m_status; }
    const QString& executable() const { return m_executable; }
    const QStringList& arguments() const { return m_arguments; }
    const QMap<QString, QString>& environment() const { return m_environment; }
    double timeout() const { return m_timeout; }

    // Published by whatever checks the helper.
    void setAvailability(bool available, const QString& status);
    void setExternalAccessDenied(bool denied);

Q_SIGNALS:
    void changed();
    void availableChanged(bool available);

private:
    bool m_available = false;
    bool m_externalAccessDenied = false;
    QString m_status = QStringLiteral("Computer Use availability has not been checked.");
    QString m_executable;
    QStringList m_arguments;
    QMap<QString, QString> m_environment;
    double m_timeout;
    std::function<bool()> m_accessibilityTrusted;
};

} // namespace kestrabo
