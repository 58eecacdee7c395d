#pragma once

#include "core/Job.h"
#include "core/Result.h"
#include "routing/ScreenContext.h"

#include <QJsonObject>
#include <QString>

#include <functional>

namespace kestrabo {

// Asks the text model what a snapshot shows that matters for a question. The findings are
// context for the voice model, not speech. Stateless; main thread.
namespace VisionService {

using Completion = std::function<void(Result<QString>)>;

inline constexpr double defaultTimeoutSeconds = 45;
inline constexpr int maxOutputTokens = 1600;

// Completes in a later turn of the event loop with non-blank findings, or one error.
void describe(const ScreenSnapshot& snapshot, const QString& question, const QString& key, const Job& job,
              Completion completion, double timeoutSeconds = defaultTimeoutSeconds);

// The pieces of the request.
const QString& instructions();
QString inputText(const QString& question);
QJsonObject body(const ScreenSnapshot& snapshot, const QString& question);

} // namespace VisionService

} // namespace kestrabo
