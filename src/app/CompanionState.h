#pragma once

#include <QString>

#include <optional>

namespace kestrabo {

// The companion's visible state; its label is the text shown under the face.
enum class CompanionState { idle, connecting, listening, speaking, looking, stopped, failed };

QString label(CompanionState state);
std::optional<CompanionState> companionStateFromLabel(const QString& label);

} // namespace kestrabo
