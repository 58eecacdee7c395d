#pragma once

#include <QString>

#include <functional>

namespace kestrabo {

enum class SpeechAuthorization { notDetermined, denied, authorized };

// What the desktop allows this process: the permission facts and requests the companion
// model reads. Answers of the asynchronous requests arrive on the main thread.
class SystemAccess {
public:
    virtual ~SystemAccess() = default;

    virtual bool microphoneAuthorized() = 0;
    virtual void requestMicrophone(std::function<void(bool granted)> done) = 0;
    virtual SpeechAuthorization speechAuthorization() = 0;
    virtual void requestSpeech(std::function<void(bool granted)> done) = 0;
    virtual bool accessibilityTrusted() = 0;
    // Listen-only global key events (Input Monitoring).
    virtual bool listenEventAllowed() = 0;
    virtual bool screenCapturePreflight() = 0;
    // Opens the desktop's settings for one privacy anchor ("Privacy_Microphone", …).
    virtual void openPrivacyPane(const QString& anchor) = 0;
};

} // namespace kestrabo
