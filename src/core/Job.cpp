#include "core/Job.h"

#include <QTimer>

namespace kestrabo {

Job Job::start()
{
    Job job;
    job.m_state = std::make_shared<State>();
    return job;
}

void Job::cancel()
{
    if (!m_state || m_state->cancelled)
        return;
    m_state->cancelled = true;
    auto cleanups = std::move(m_state->cleanups);
    m_state->cleanups.clear();
    for (auto& cleanup : cleanups)
        cleanup();
}

void Job::onCancel(std::function<void()> cleanup) const
{
    if (isCancelled()) {
        cleanup();
        return;
    }
    m_state->cleanups.push_back(std::move(cleanup));
}

void Job::after(int milliseconds, QObject* context, std::function<void()> work) const
{
    if (isCancelled() || !context)
        return;
    auto* timer = new QTimer(context);
    timer->setSingleShot(true);
    timer->setTimerType(Qt::PreciseTimer);
    QPointer<QTimer> guard(timer);
    std::weak_ptr<State> weak = m_state;
    QObject::connect(timer, &QTimer::timeout, context, [guard, weak, work = std::move(work)] {
        if (guard)
            guard->deleteLater();
        const auto state = weak.lock();
        if (!state || state->cancelled)
            return;
        work();
    });
    onCancel([guard] {
        if (guard) {
            guard->stop();
            guard->deleteLater();
        }
    });
    timer->start(milliseconds);
}

void post(QObject* context, std::function<void()> work)
{
    QPointer<QObject> guard(context);
    QMetaObject::invokeMethod(
        context,
        [guard, work = std::move(work)] {
            if (guard)
                work();
        },
        Qt::QueuedConnection);
}

} // namespace kestrabo
