#pragma once

#include "core/Job.h"
#include "platform/SpeechRecognizer.h"

#include <QObject>
#include <QUuid>

#include <functional>
#include <memory>

namespace kestrabo {

class SystemAccess;

// Listens for "Hey kestrabo" while no conversation runs. The owner decides when listening is
// wanted: it sets `wanted` and calls beginRecognition(), or clears it and calls tearDown().
// Each attempt runs one recognition task, renewed every 50 seconds; an attempt that cannot run
// is retried after 2, 4, 8, 16, then every 30 seconds. Main thread only.
class WakeWordListener : public QObject {
    Q_OBJECT
public:
    static constexpr int renewalMs = 50'000;

    // Without a recogniser factory the machine counts as having no on-device recogniser.
    WakeWordListener(SystemAccess* access, SpeechRecognizerFactory recognizers, QObject* parent = nullptr);
    ~WakeWordListener() override;

    std::function<void()> onWake;
    std::function<void(const QString&)> onStatus;

    bool wanted = false;
    // Seconds until the next retry.
    double retryDelay = 2.0;

    // Runs `work` after `milliseconds` unless `job` is cancelled first. A precise monotonic
    // timer by default; tests drive a clock of their own through it.
    std::function<void(const Job& job, int milliseconds, std::function<void()> work)> schedule;

    void beginRecognition();
    void tearDown();
    void scheduleRetry();

    // A recognition task holds the microphone.
    bool isListening() const { return m_recognizer != nullptr; }

private:
    void report(const QString& status);
    void handleResult(const QUuid& token, const QString& text, bool isFinal, bool error);

    SystemAccess* m_access;
    SpeechRecognizerFactory m_recognizers;
    std::unique_ptr<SpeechRecognizer> m_recognizer;
    Job m_renewal;
    QUuid m_generation;
};

} // namespace kestrabo
