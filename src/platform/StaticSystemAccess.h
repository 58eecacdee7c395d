#pragma once

#include "platform/SystemAccess.h"

#include <QObject>
#include <QStringList>

#include <deque>

namespace kestrabo {

// Fixed answers, set by the owner. Requests answer in a later turn of the event loop, or are
// held until `answerMicrophone`/`answerSpeech` when `holdRequests` is set.
class StaticSystemAccess final : public QObject, public SystemAccess {
public:
    bool microphone = true;
    bool microphoneGrant = true;
    SpeechAuthorization speech = SpeechAuthorization::notDetermined;
    bool speechGrant = false;
    bool accessibility = false;
    bool listenEvent = false;
    bool screenPreflight = false;
    bool holdRequests = false;
    QStringList openedPanes;
    int microphoneRequests = 0;

    bool microphoneAuthorized() override { return microphone; }
    void requestMicrophone(std::function<void(bool)> done) override;
    SpeechAuthorization speechAuthorization() override { return speech; }
    void requestSpeech(std::function<void(bool)> done) override;
    bool accessibilityTrusted() override { return accessibility; }
    bool listenEventAllowed() override { return listenEvent; }
    bool screenCapturePreflight() override { return screenPreflight; }
    void openPrivacyPane(const QString& anchor) override { openedPanes.append(anchor); }

    // Answers the oldest held request.
    void answerMicrophone(bool granted);
    void answerSpeech(bool granted);
    bool hasHeldMicrophoneRequest() const { return !m_microphoneWaiters.empty(); }

private:
    std::deque<std::function<void(bool)>> m_microphoneWaiters;
    std::deque<std::function<void(bool)>> m_speechWaiters;
};

} // namespace kestrabo
