#pragma once

#include "core/KestraboError.h"

#include <QString>

#include <chrono>
#include <functional>
#include <optional>

namespace kestrabo {

class ScreenGrabber;
class SystemAccess;

// What is known about this process's access to the screen.
class ScreenAccessStatus {
public:
    enum class Kind { unavailable, available, denied };

    static ScreenAccessStatus available() { return ScreenAccessStatus(Kind::available, {}); }
    static ScreenAccessStatus denied() { return ScreenAccessStatus(Kind::denied, {}); }
    // Not confirmed, or the check failed; the message says what to do.
    static ScreenAccessStatus unavailable(QString message) { return ScreenAccessStatus(Kind::unavailable, std::move(message)); }

    Kind kind() const { return m_kind; }
    bool isAvailable() const { return m_kind == Kind::available; }
    bool isDenied() const { return m_kind == Kind::denied; }
    bool isUnavailable() const { return m_kind == Kind::unavailable; }
    const QString& message() const { return m_message; }

    friend bool operator==(const ScreenAccessStatus&, const ScreenAccessStatus&) = default;

private:
    ScreenAccessStatus(Kind kind, QString message) : m_kind(kind), m_message(std::move(message)) {}
    Kind m_kind;
    QString m_message;
};

// The last known screen access of this process, kept for its lifetime and never persisted: the
// desktop's preflight answer may lag behind what a probe or a capture has shown. Main thread only.
extern std::optional<ScreenAccessStatus> lastScreenAccess;

// Permission checks and requests that are not tied to one view. Every answer arrives on the
// main thread in a later turn of its event loop, never inside the call.
namespace Permissions {

using StatusCallback = std::function<void(const ScreenAccessStatus&)>;
// An asynchronous probe of the capture backend; answers once.
using Probe = std::function<void(StatusCallback)>;

inline constexpr std::chrono::milliseconds probeTimeout{8'000};
inline constexpr const char* privacyScreenCapture = "Privacy_ScreenCapture";
inline constexpr const char* privacyMicrophone = "Privacy_Microphone";
inline constexpr const char* privacySpeechRecognition = "Privacy_SpeechRecognition";
inline constexpr const char* privacyListenEvent = "Privacy_ListenEvent";
inline constexpr const char* privacyAccessibility = "Privacy_Accessibility";

// With the desktop's preflight and a probe of `grabber` (none: no display to probe). Where the
// grabber cannot capture in this session at all, its reason is the (unavailable) answer.
void checkScreenAccess(bool allowPrompt, SystemAccess& access, ScreenGrabber* grabber, StatusCallback done);

// Without a prompt the preflight and the remembered status decide; with one, the probe does,
// and concurrent prompting callers share the probe in flight.
void checkScreenAccess(bool allowPrompt, bool preflight, const Probe& probe, StatusCallback done);

// Asks the backend for its displays once; the first of its answer and the time-out wins.
void probeScreenAccess(ScreenGrabber& grabber, StatusCallback done,
                       std::chrono::milliseconds timeout = probeTimeout);

// True when the error, or one of the errors it wraps (at most 8 in all), is the backend's
// refusal to give this process the screen.
bool isScreenAccessDenied(const KestraboError& error);

// Microphone access; opens the microphone settings when it is refused.
void requestMicrophone(SystemAccess& access, std::function<void(bool granted)> done);

// Opens the desktop settings matching one of the privacy anchors above.
void openPrivacyPane(SystemAccess& access, const QString& anchor);

} // namespace Permissions

} // namespace kestrabo
