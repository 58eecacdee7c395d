#include "platform/linux/LinuxSystemAccess.h"

#include "core/Job.h"
#include "platform/ScreenGrabber.h"

#include <QProcess>
#include <QStandardPaths>

namespace kestrabo {

namespace {

const QString kMicrophone = QStringLiteral("Privacy_Microphone");
const QString kAccessibility = QStringLiteral("Privacy_Accessibility");
const QString kScreenCapture = QStringLiteral("Privacy_ScreenCapture");
const QString kSpeech = QStringLiteral("Privacy_SpeechRecognition");
const QString kListenEvent = QStringLiteral("Privacy_ListenEvent");

bool desktopIs(const QString& desktop, std::initializer_list<const char*> names)
{
    const QStringList parts = desktop.split(u':', Qt::SkipEmptyParts);
    for (const QString& part : parts) {
        for (const char* name : names) {
            if (part.compare(QLatin1String(name), Qt::CaseInsensitive) == 0)
                return true;
        }
    }
    return false;
}

} // namespace

LinuxSystemAccess::LinuxSystemAccess(ScreenGrabber* grabber, QObject* parent) : QObject(parent), m_grabber(grabber)
{
    launch = [](const QString& program, const QStringList& arguments) {
        return QProcess::startDetached(program, arguments);
    };
    findProgram = [](const QString& program) { return QStandardPaths::findExecutable(program); };
}

void LinuxSystemAccess::requestMicrophone(std::function<void(bool)> done)
{
    // Nothing to prompt for: the answer is whether a microphone is there.
    const bool granted = microphoneAuthorized();
    post(this, [done = std::move(done), granted] { done(granted); });
}

SpeechAuthorization LinuxSystemAccess::speechAuthorization()
{
    return speechCheck() ? SpeechAuthorization::authorized : SpeechAuthorization::denied;
}

void LinuxSystemAccess::requestSpeech(std::function<void(bool)> done)
{
    const bool granted = speechCheck();
    post(this, [done = std::move(done), granted] { done(granted); });
}

bool LinuxSystemAccess::screenCapturePreflight()
{
    return m_grabber && m_grabber->preflight();
}

std::optional<QStringList> LinuxSystemAccess::settingsCommand(const QString& anchor, const QString& desktop) const
{
    QStringList command;
    if (desktopIs(desktop, {"GNOME", "Unity", "Budgie", "ubuntu", "Pantheon"})) {
        if (anchor == kMicrophone)
            command = {QStringLiteral("gnome-control-center"), QStringLiteral("sound")};
        else if (anchor == kAccessibility)
            command = {QStringLiteral("gnome-control-center"), QStringLiteral("universal-access")};
    } else if (desktopIs(desktop, {"KDE"})) {
        if (anchor == kMicrophone)
            command = {QStringLiteral("systemsettings"), QStringLiteral("kcm_pulseaudio")};
        else if (anchor == kAccessibility)
            command = {QStringLiteral("systemsettings"), QStringLiteral("kcm_access")};
    } else if (desktopIs(desktop, {"XFCE"})) {
        if (anchor == kAccessibility)
            command = {QStringLiteral("xfce4-accessibility-settings")};
    }
    if (!command.isEmpty() && findProgram(command.first()).isEmpty())
        command.clear();
    // Any desktop: the sound server's own mixer, on its input page.
    if (command.isEmpty() && anchor == kMicrophone && !findProgram(QStringLiteral("pavucontrol")).isEmpty())
        command = {QStringLiteral("pavucontrol"), QStringLiteral("--tab=4")};
    if (command.isEmpty())
        return std::nullopt;
    return command;
}

QString LinuxSystemAccess::explanation(const QString& anchor)
{
    if (anchor == kScreenCapture)
        return QStringLiteral("X11 has no screen recording setting. Run Kestrabo inside your desktop session, not "
                              "over an untrusted remote connection, then refresh permissions.");
    if (anchor == kMicrophone)
        return QStringLiteral("Open your desktop's sound settings and check that a microphone is connected and not muted.");
    if (anchor == kSpeech)
        return QStringLiteral("Speech recognition runs on this computer and needs no permission.");
    if (anchor == kListenEvent)
        return QStringLiteral("X11 has no input monitoring setting. The shortcut needs the X Input extension.");
    if (anchor == kAccessibility)
        return QStringLiteral("Open your desktop's accessibility settings.");
    return QString();
}

void LinuxSystemAccess::openPrivacyPane(const QString& anchor)
{
    const QString desktop = QString::fromLocal8Bit(qgetenv("XDG_CURRENT_DESKTOP"));
    if (const std::optional<QStringList> command = settingsCommand(anchor, desktop)) {
        if (launch(command->first(), command->mid(1)))
            return;
    }
    if (onExplanation)
        onExplanation(anchor, explanation(anchor));
}

} // namespace kestrabo
