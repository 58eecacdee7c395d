#pragma once

#include "core/Result.h"

#include <QString>
#include <QStringList>

#include <functional>
#include <memory>

namespace kestrabo {

// An on-device recogniser listening to the microphone. One task at a time: start() opens the
// microphone and begins recognising, stop() ends it. Nothing it hears leaves the machine.
class SpeechRecognizer {
public:
    // The running transcript (empty when nothing was recognised), whether it is final, and
    // whether the task failed. Runs on the recogniser's own thread and must not block.
    using ResultHandler = std::function<void(const QString& text, bool isFinal, bool error)>;

    virtual ~SpeechRecognizer() = default;

    virtual bool supportsOnDeviceRecognition() const = 0;
    // Whether recognition can run at this moment.
    virtual bool isAvailable() = 0;
    // Starts a task biased towards `contextualStrings` (phrases the user is likely to say).
    // An error means no usable microphone or the capture could not start; nothing then runs.
    virtual Status start(const QStringList& contextualStrings, ResultHandler onResult) = 0;
    // Ends the task and releases the microphone. When it returns, no handler call of the task
    // is running and none will run.
    virtual void stop() = 0;
};

// A recogniser for a locale ("en-US"); none when the machine has no recogniser for it.
using SpeechRecognizerFactory = std::function<std::unique_ptr<SpeechRecognizer>(const QString& locale)>;

} // namespace kestrabo
