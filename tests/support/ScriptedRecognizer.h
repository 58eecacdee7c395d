#pragma once

#include "platform/SpeechRecognizer.h"

#include <memory>

namespace kestrabo::test {

// A scripted on-device recogniser. The test keeps the script; `deliver` plays the recogniser's
// thread for the task that runs now.
struct RecognizerScript {
    bool exists = true;
    bool onDevice = true;
    bool available = true;
    bool startFails = false;

    int created = 0;
    int starts = 0;
    bool running = false;
    QStringList hints;
    SpeechRecognizer::ResultHandler onResult;

    void deliver(const QString& text, bool isFinal = false, bool error = false)
    {
        if (onResult)
            onResult(text, isFinal, error);
    }

    static SpeechRecognizerFactory factory(std::shared_ptr<RecognizerScript> script);
};

class ScriptedRecognizer final : public SpeechRecognizer {
public:
    explicit ScriptedRecognizer(std::shared_ptr<RecognizerScript> script) : m_script(std::move(script)) {}
    ~ScriptedRecognizer() override { stop(); }

    bool supportsOnDeviceRecognition() const override { return m_script->onDevice; }
    bool isAvailable() override { return m_script->available; }
    Status start(const QStringList& contextualStrings, ResultHandler onResult) override
    {
        ++m_script->starts;
        if (m_script->startFails)
            return KestraboError::message(QStringLiteral("no microphone"));
        m_script->hints = contextualStrings;
        m_script->onResult = std::move(onResult);
        m_script->running = m_started = true;
        return {};
    }
    void stop() override
    {
        // Only the running task's own stop releases the script.
        if (!m_started)
            return;
        m_started = m_script->running = false;
        m_script->onResult = nullptr;
    }

private:
    std::shared_ptr<RecognizerScript> m_script;
    bool m_started = false;
};

inline SpeechRecognizerFactory RecognizerScript::factory(std::shared_ptr<RecognizerScript> script)
{
    return [script](const QString&) -> std::unique_ptr<SpeechRecognizer> {
        if (!script->exists)
            return nullptr;
        ++script->created;
        return std::make_unique<ScriptedRecognizer>(script);
    };
}

} // namespace kestrabo::test
