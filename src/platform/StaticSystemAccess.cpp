#include "platform/StaticSystemAccess.h"

#include "core/Job.h"

namespace kestrabo {

void StaticSystemAccess::requestMicrophone(std::function<void(bool)> done)
{
    ++microphoneRequests;
    if (holdRequests) {
        m_microphoneWaiters.push_back(std::move(done));
        return;
    }
    const bool granted = microphoneGrant;
    post(this, [this, granted, done = std::move(done)] {
        microphone = granted;
        done(granted);
    });
}

void StaticSystemAccess::requestSpeech(std::function<void(bool)> done)
{
    if (holdRequests) {
        m_speechWaiters.push_back(std::move(done));
        return;
    }
    const bool granted = speechGrant;
    post(this, [this, granted, done = std::move(done)] {
        speech = granted ? SpeechAuthorization::authorized : SpeechAuthorization::denied;
        done(granted);
    });
}

void StaticSystemAccess::answerMicrophone(bool granted)
{
    if (m_microphoneWaiters.empty())
        return;
    auto done = std::move(m_microphoneWaiters.front());
    m_microphoneWaiters.pop_front();
    microphone = granted;
    done(granted);
}

void StaticSystemAccess::answerSpeech(bool granted)
{
    if (m_speechWaiters.empty())
        return;
    auto done = std::move(m_speechWaiters.front());
    m_speechWaiters.pop_front();
    speech = granted ? SpeechAuthorization::authorized : SpeechAuthorization::denied;
    done(granted);
}

} // namespace kestrabo
