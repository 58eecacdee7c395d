#include "system/Permissions.h"

#include "core/Job.h"
#include "platform/ScreenGrabber.h"
#include "platform/SystemAccess.h"

#include <QCoreApplication>
#include <QTimer>

#include <memory>
#include <mutex>
#include <vector>

namespace kestrabo {

std::optional<ScreenAccessStatus> lastScreenAccess;

namespace Permissions {

namespace {

const QString kNotConfirmed = QStringLiteral("Screen access is not confirmed. Choose Allow to check it once.");
const QString kTimedOut = QStringLiteral("Screen access check timed out. Try Refresh permissions again.");
const QString kNoDisplay =
    QStringLiteral("No display is available for screen capture. Try Refresh permissions again.");
const QString kTemporarilyUnavailable =
    QStringLiteral("Screen capture is temporarily unavailable. Try Refresh permissions again.");

constexpr int kMaxExaminedErrors = 8;

// The probe in flight and everyone waiting for it.
struct ProbeTask {
    std::vector<StatusCallback> waiters;
    bool finished = false;
};
std::shared_ptr<ProbeTask> screenProbeTask;

// One-shot completion: the backend's answer and the time-out race, and only the first one
// reaches the caller. The lock keeps that true should a backend answer from its own thread.
class ScreenAccessCheck {
public:
    explicit ScreenAccessCheck(StatusCallback continuation) : m_continuation(std::move(continuation)) {}

    void finish(const ScreenAccessStatus& status)
    {
        StatusCallback continuation;
        {
            std::lock_guard lock(m_lock);
            continuation = std::exchange(m_continuation, nullptr);
        }
        if (continuation)
            continuation(status);
    }

private:
    std::mutex m_lock;
    StatusCallback m_continuation;
};

void later(std::function<void()> work)
{
    post(QCoreApplication::instance(), std::move(work));
}

} // namespace

void checkScreenAccess(bool allowPrompt, SystemAccess& access, ScreenGrabber* grabber, StatusCallback done)
{
    // Nothing the user allows changes that; said plainly instead of asking.
    if (const auto unsupported = grabber ? grabber->unsupported() : std::nullopt) {
        const ScreenAccessStatus status = ScreenAccessStatus::unavailable(unsupported->description());
        later([done = std::move(done), status] { done(status); });
        return;
    }
    const bool preflight = access.screenCapturePreflight();
    Probe probe = [grabber](StatusCallback answer) {
        if (grabber)
            probeScreenAccess(*grabber, std::move(answer));
        else
            later([answer = std::move(answer)] { answer(ScreenAccessStatus::unavailable(kNoDisplay)); });
    };
    checkScreenAccess(allowPrompt, preflight, probe, std::move(done));
}

void checkScreenAccess(bool allowPrompt, bool preflight, const Probe& probe, StatusCallback done)
{
    if (!allowPrompt) {
        if (preflight)
            lastScreenAccess = ScreenAccessStatus::available();
        const ScreenAccessStatus status =
            preflight ? ScreenAccessStatus::available()
                      : lastScreenAccess.value_or(ScreenAccessStatus::unavailable(kNotConfirmed));
        later([done = std::move(done), status] { done(status); });
        return;
    }
    if (screenProbeTask) {
        screenProbeTask->waiters.push_back(std::move(done));
        return;
    }
    auto task = std::make_shared<ProbeTask>();
    task->waiters.push_back(std::move(done));
    screenProbeTask = task;
    later([task, probe] {
        probe([task](const ScreenAccessStatus& status) {
            if (task->finished)
                return;
            task->finished = true;
            lastScreenAccess = status;
            if (screenProbeTask == task)
                screenProbeTask.reset();
            for (const StatusCallback& waiter : std::exchange(task->waiters, {}))
                waiter(status);
        });
    });
}

void probeScreenAccess(ScreenGrabber& grabber, StatusCallback done, std::chrono::milliseconds timeout)
{
    // Whoever finishes first hops back to the main thread with the answer.
    auto check = std::make_shared<ScreenAccessCheck>([done = std::move(done)](const ScreenAccessStatus& status) {
        later([done, status] { done(status); });
    });
    QTimer::singleShot(timeout, QCoreApplication::instance(),
                       [check] { check->finish(ScreenAccessStatus::unavailable(kTimedOut)); });
    grabber.shareableDisplays([check](const Result<QList<ShareableDisplay>>& displays) {
        if (displays)
            check->finish(displays.value().isEmpty() ? ScreenAccessStatus::unavailable(kNoDisplay)
                                                     : ScreenAccessStatus::available());
        else if (isScreenAccessDenied(displays.error()))
            check->finish(ScreenAccessStatus::denied());
        else if (displays.error().domain() == QLatin1String(ScreenCaptureError::domain)
                 && displays.error().code() == ScreenCaptureError::unsupportedSession)
            check->finish(ScreenAccessStatus::unavailable(displays.error().description()));
        else
            check->finish(ScreenAccessStatus::unavailable(kTemporarilyUnavailable));
    });
}

bool isScreenAccessDenied(const KestraboError& error)
{
    const KestraboError* current = &error;
    for (int examined = 0; current && examined < kMaxExaminedErrors; ++examined) {
        if (current->domain() == QLatin1String(ScreenCaptureError::domain)
            && current->code() == ScreenCaptureError::accessDenied)
            return true;
        current = current->underlying();
    }
    return false;
}

void requestMicrophone(SystemAccess& access, std::function<void(bool)> done)
{
    if (access.microphoneAuthorized()) {
        later([done = std::move(done)] { done(true); });
        return;
    }
    access.requestMicrophone([&access, done = std::move(done)](bool granted) {
        if (!granted)
            openPrivacyPane(access, QLatin1String(privacyMicrophone));
        done(granted);
    });
}

void openPrivacyPane(SystemAccess& access, const QString& anchor)
{
    access.openPrivacyPane(anchor);
}

} // namespace Permissions

} // namespace kestrabo
