#include "app/CompanionState.h"

#include <array>

namespace kestrabo {

namespace {

constexpr std::array kStates{CompanionState::idle,     CompanionState::connecting, CompanionState::listening,
                             CompanionState::speaking, CompanionState::looking,    CompanionState::stopped,
                             CompanionState::failed};

} // namespace

QString label(CompanionState state)
{
    switch (state) {
    case CompanionState::idle: return QStringLiteral("Ready when you are");
    case CompanionState::connecting: return QStringLiteral("Connecting");
    case CompanionState::listening: return QStringLiteral("I'm listening");
    case CompanionState::speaking: return QStringLiteral("Speaking");
    case CompanionState::looking: return QStringLiteral("Reading your screen");
    case CompanionState::stopped: return QStringLiteral("Conversation ended");
    case CompanionState::failed: return QStringLiteral("Needs attention");
    }
    return QString();
}

std::optional<CompanionState> companionStateFromLabel(const QString& text)
{
    for (CompanionState state : kStates) {
        if (label(state) == text)
            return state;
    }
    return std::nullopt;
}

} // namespace kestrabo
