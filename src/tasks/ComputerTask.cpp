#include "tasks/ComputerTask.h"

namespace kestrabo {

QString rawValue(ComputerTaskState state)
{
    switch (state) {
    case ComputerTaskState::starting: return QStringLiteral("starting");
    case ComputerTaskState::working: return QStringLiteral("working");
    case ComputerTaskState::review: return QStringLiteral("review");
    case ComputerTaskState::manualReview: return QStringLiteral("manualReview");
    case ComputerTaskState::completed: return QStringLiteral("completed");
    case ComputerTaskState::failed: return QStringLiteral("failed");
    case ComputerTaskState::cancelled: return QStringLiteral("cancelled");
    }
    return QString();
}

bool isActive(ComputerTaskState state)
{
    return state == ComputerTaskState::starting || state == ComputerTaskState::working
        || state == ComputerTaskState::review;
}

} // namespace kestrabo
