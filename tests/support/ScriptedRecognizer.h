#pragma once

#include "platform/SpeechRecognizer.h"

#include <memory>
#include <utility>

namespace kestrabo::test {

// A scripted on-device recogniser. The test keeps the script: `onResult` is the running task's
// handler (the recogniser's thread calls it), `running` whether a task holds the microphone.
struct RecognizerScript {
    bool exists = true, onDevice = true, available = true, startFails = false;
    int starts = 0;
    bool running = false;
    QStringList hints;
    SpeechRecognizer::ResultHandler onResult;

    static SpeechRecognizerFactory factory(std::shared_ptr<RecognizerScript> script)
    {
        return [script](const QString&) -> std::unique_ptr<SpeechRecognizer> {
            return script->exists ? std::make_unique<Recognizer>(script) : nullptr;
        };
    }

private:
    struct Recognizer final : SpeechRecognizer {
        std::shared_ptr<RecognizerScript> script;
        bool started = false;
        explicit Recognizer(std::shared_ptr<RecognizerScript> s) : script(std::move(s)) {}
        ~Recognizer() override { stop(); }
        bool supportsOnDeviceRecognition() const override { return script->onDevice; }
        bool isAvailable() override { return script->available; }
        Status start(const QStringList& hints, ResultHandler onResult) override
        {
            ++script->starts;
            if (script->startFails)
                return KestraboError::message(QStringLiteral("no microphone"));
            script->hints = hints;
            script->onResult = std::move(onResult);
            script->running = started = true;
            return {};
        }
        void stop() override
        {
            if (std::exchange(started, false)) {
                script->running = false;
                script->onResult = nullptr;
            }
        }
    };
};

} // namespace kestrabo::test
