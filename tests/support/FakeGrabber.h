#pragma once

#include "core/Job.h"
#include "platform/ScreenGrabber.h"

#include <QObject>

#include <deque>
#include <optional>

namespace kestrabo::test {

// A capture backend with fixed answers, delivered in a later turn like the real one, or held
// until `release()` while `hold` is set.
class FakeGrabber final : public QObject, public ScreenGrabber {
public:
    bool preflightAnswer = true;
    QList<ShareableDisplay> displays;
    std::optional<KestraboError> displaysError;
    QImage image;
    std::optional<KestraboError> captureError;
    bool hold = false;

    int displayRequests = 0, captureRequests = 0;
    QString capturedIdentifier;
    QSize requestedSize;

    bool preflight() override { return preflightAnswer; }
    void shareableDisplays(std::function<void(Result<QList<ShareableDisplay>>)> done) override
    {
        ++displayRequests;
        answer([this, done] { done(displaysError ? Result<QList<ShareableDisplay>>(*displaysError) : displays); });
    }
    void capture(const QString& identifier, QSize pixelSize, std::function<void(Result<QImage>)> done) override
    {
        ++captureRequests;
        capturedIdentifier = identifier;
        requestedSize = pixelSize;
        answer([this, done] { done(captureError ? Result<QImage>(*captureError) : image); });
    }

    void release()
    {
        for (auto held = std::exchange(m_held, {}); auto& work : held)
            work();
    }
    bool holding() const { return !m_held.empty(); }

private:
    void answer(std::function<void()> work)
    {
        if (hold)
            m_held.push_back(std::move(work));
        else
            post(this, std::move(work));
    }

    std::deque<std::function<void()>> m_held;
};

inline KestraboError accessDenied()
{
    return KestraboError(ScreenCaptureError::domain, ScreenCaptureError::accessDenied, QStringLiteral("refused"));
}

} // namespace kestrabo::test
