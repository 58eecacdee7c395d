#pragma once

#include "platform/AudioDevice.h"
#include "platform/SpeechRecognizer.h"

#include <functional>

class QSettings;

namespace kestrabo {

class KeySource;
class ScreenGrabber;
class SystemAccess;

// The platform services the companion model reads, owned by whoever builds the model (the
// application entry, or a test with its doubles). Nothing here is owned by the model.
struct Platform {
    SystemAccess* access = nullptr;
    QSettings* preferences = nullptr;
    // Whether the Codex CLI is installed; absent means "not installed".
    std::function<bool()> codexInstalled;
    // Opens the sound device the audio engine drives; none means no microphone.
    AudioDeviceFactory audioDevice;
    // Absent where no window system can be captured: captures then find no display.
    ScreenGrabber* grabber = nullptr;
    // Absent where no keys can be heard system-wide: the shortcut then never installs.
    KeySource* keys = nullptr;
    // Creates the wake phrase's on-device recogniser; absent means there is none.
    SpeechRecognizerFactory speechRecognizer;
};

} // namespace kestrabo
