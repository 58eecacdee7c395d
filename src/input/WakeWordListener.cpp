#include "input/WakeWordListener.h"

#include "input/WakePhrase.h"
#include "platform/SystemAccess.h"

#include <algorithm>

namespace kestrabo {

namespace {

const QString kNotAllowed = QStringLiteral("Allow Microphone access to use Hey, kestrabo.");
const QString kNoRecognizer =
    QStringLiteral("On-device English speech recognition is unavailable on this computer. Use Start talking.");
const QString kRetrying = QStringLiteral("Wake listening is unavailable. Retrying; you can use Start talking.");
const QString kListening = QStringLiteral("Listening for Hey, kestrabo on this computer.");
const QString kHint = QStringLiteral("Hey kestrabo");

} // namespace

WakeWordListener::WakeWordListener(SystemAccess* access, SpeechRecognizerFactory recognizers, QObject* parent)
    : QObject(parent), m_access(access), m_recognizers(std::move(recognizers)), m_generation(QUuid::createUuid())
{
    schedule = [this](const Job& job, int milliseconds, std::function<void()> work) {
        job.after(milliseconds, this, std::move(work));
    };
}

WakeWordListener::~WakeWordListener()
{
    tearDown();
}

void WakeWordListener::report(const QString& status)
{
    if (onStatus)
        onStatus(status);
}

void WakeWordListener::beginRecognition()
{
    tearDown();
    if (!wanted)
        return;
    if (!m_access || !m_access->microphoneAuthorized()
        || m_access->speechAuthorization() != SpeechAuthorization::authorized) {
        wanted = false;
        report(kNotAllowed);
        return;
    }
    std::unique_ptr<SpeechRecognizer> recognizer =
        m_recognizers ? m_recognizers(QStringLiteral("en-US")) : nullptr;
    if (!recognizer || !recognizer->supportsOnDeviceRecognition()) {
        wanted = false;
        report(kNoRecognizer);
        return;
    }
    if (!recognizer->isAvailable()) {
        scheduleRetry();
        return;
    }
    const QUuid token = m_generation;
    m_recognizer = std::move(recognizer);
    // stop() joins the recogniser's thread before this object goes, so `this` outlives every call.
    const Status started = m_recognizer->start({kHint}, [this, token](const QString& text, bool isFinal, bool error) {
        post(this, [this, token, text, isFinal, error] { handleResult(token, text, isFinal, error); });
    });
    if (!started) {
        scheduleRetry();
        return;
    }
    report(kListening);
    m_renewal = Job::start();
    schedule(m_renewal, renewalMs, [this, token] {
        if (m_generation != token)
            return;
        retryDelay = 2.0;
        beginRecognition();
    });
}

void WakeWordListener::handleResult(const QUuid& token, const QString& text, bool isFinal, bool error)
{
    if (!wanted || m_generation != token)
        return;
    if (!text.isEmpty() && WakePhrase::matches(text)) {
        wanted = false;
        tearDown();
        if (onWake)
            onWake();
    } else if (error) {
        scheduleRetry();
    } else if (isFinal) {
        retryDelay = 2.0;
        beginRecognition();
    }
}

void WakeWordListener::tearDown()
{
    m_generation = QUuid::createUuid();
    m_renewal.cancel();
    m_renewal = Job();
    if (m_recognizer) {
        m_recognizer->stop();
        m_recognizer.reset();
    }
}

void WakeWordListener::scheduleRetry()
{
    tearDown();
    if (!wanted)
        return;
    report(kRetrying);
    const QUuid token = m_generation;
    const double delay = retryDelay;
    retryDelay = std::min(delay * 2, 30.0);
    m_renewal = Job::start();
    schedule(m_renewal, int(delay * 1000), [this, token] {
        if (m_generation != token)
            return;
        beginRecognition();
    });
}

} // namespace kestrabo
