#pragma once

#include <QObject>
#include <QPointer>

#include <functional>
#include <memory>
#include <vector>

namespace kestrabo {

// A handle on one piece of asynchronous work on the main thread. Copies share one state, so
// the owner keeps a copy to cancel it and the work keeps one to check it after every
// suspension. Cancelling runs the cleanups the work registered (stopping its timers,
// aborting its replies), so cancelled work never resumes.
class Job {
public:
    Job() = default;

    static Job start();

    bool isValid() const { return m_state != nullptr; }
    bool isCancelled() const { return !m_state || m_state->cancelled; }
    void cancel();

    // Registers a cleanup that runs once when the job is cancelled (at once if it already is).
    void onCancel(std::function<void()> cleanup) const;

    // Runs `work` after `milliseconds` on a monotonic precise timer, unless the job is
    // cancelled first or `context` is gone.
    void after(int milliseconds, QObject* context, std::function<void()> work) const;

    friend bool operator==(const Job& a, const Job& b) { return a.m_state == b.m_state; }

private:
    struct State {
        bool cancelled = false;
        std::vector<std::function<void()>> cleanups;
    };
    std::shared_ptr<State> m_state;
};

// Runs `work` on `context`'s thread in a later turn of its event loop, if `context` still
// exists then. Safe to call from any thread.
void post(QObject* context, std::function<void()> work);

} // namespace kestrabo
