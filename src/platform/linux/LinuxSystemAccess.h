#pragma once

#include "platform/SystemAccess.h"

#include <QObject>
#include <QStringList>

#include <functional>
#include <optional>

namespace kestrabo {

class ScreenGrabber;

// Permission facts on a Linux desktop. Linux grants no per-application permissions for these,
// so each fact is whether the facility is there: the screen when an X display with Composite is
// reachable. The other subsystems plug their own checks into the seams below as they arrive.
class LinuxSystemAccess final : public QObject, public SystemAccess {
public:
    explicit LinuxSystemAccess(ScreenGrabber* grabber, QObject* parent = nullptr);

    // Seams, answered on the main thread. Until the sound server is consulted the microphone
    // counts as present; the key listener reports listen access.
    std::function<bool()> microphoneCheck = [] { return true; };
    std::function<bool()> speechCheck = [] { return true; };
    std::function<bool()> listenEventCheck = [] { return false; };
    std::function<bool()> accessibilityCheck = [] { return false; };

    // Starts a settings program detached; true when it started. Replaced in tests.
    std::function<bool(const QString& program, const QStringList& arguments)> launch;
    // The path of a program on PATH, empty when it is absent. Replaced in tests.
    std::function<QString(const QString& program)> findProgram;
    // Where the desktop has no settings for an anchor, this short explanation is for the island.
    std::function<void(const QString& anchor, const QString& explanation)> onExplanation;

    bool microphoneAuthorized() override { return microphoneCheck(); }
    void requestMicrophone(std::function<void(bool granted)> done) override;
    SpeechAuthorization speechAuthorization() override;
    void requestSpeech(std::function<void(bool granted)> done) override;
    bool accessibilityTrusted() override { return accessibilityCheck(); }
    bool listenEventAllowed() override { return listenEventCheck(); }
    bool screenCapturePreflight() override;
    void openPrivacyPane(const QString& anchor) override;

    // The command that opens the settings for `anchor` on `desktop` (XDG_CURRENT_DESKTOP), if
    // the desktop has such settings and the program is installed.
    std::optional<QStringList> settingsCommand(const QString& anchor, const QString& desktop) const;
    static QString explanation(const QString& anchor);

private:
    ScreenGrabber* m_grabber;
};

} // namespace kestrabo
