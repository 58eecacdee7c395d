#pragma once

#include "codex/CodexExecutable.h"
#include "codex/CodexQuestion.h"

#include <QJsonObject>
#include <QJsonValue>
#include <QLatin1String>
#include <QString>
#include <QStringList>

#include <functional>
#include <optional>

// Everything Kestrabo knows about the Codex app-server's vocabulary: how it is found and started,
// the requests sent to it, the results answered to it and how its questions are read. Pure.
namespace kestrabo::CodexWorkerProtocol {

inline constexpr QLatin1String model{"gpt-5.6-sol"};

namespace method {
inline constexpr QLatin1String initialize{"initialize"};
inline constexpr QLatin1String initialized{"initialized"};
inline constexpr QLatin1String threadStart{"thread/start"};
inline constexpr QLatin1String turnStart{"turn/start"};
inline constexpr QLatin1String serverRequestResolved{"serverRequest/resolved"};
inline constexpr QLatin1String turnStarted{"turn/started"};
inline constexpr QLatin1String turnCompleted{"turn/completed"};
inline constexpr QLatin1String agentMessageDelta{"item/agentMessage/delta"};
inline constexpr QLatin1String itemStarted{"item/started"};
inline constexpr QLatin1String itemCompleted{"item/completed"};
inline constexpr QLatin1String error{"error"};
inline constexpr QLatin1String requestUserInput{"item/tool/requestUserInput"};
inline constexpr QLatin1String elicitation{"mcpServer/elicitation/request"};
inline constexpr QLatin1String commandApproval{"item/commandExecution/requestApproval"};
inline constexpr QLatin1String fileChangeApproval{"item/fileChange/requestApproval"};
inline constexpr QLatin1String permissionsApproval{"item/permissions/requestApproval"};
inline constexpr QLatin1String execCommandApproval{"execCommandApproval"};
inline constexpr QLatin1String applyPatchApproval{"applyPatchApproval"};
} // namespace method

// Executable discovery over explicit inputs: HOME from the map wins over `accountHome`.
std::optional<QString> executableURL(const Environment& environment, const QString& accountHome,
                                     const std::function<bool(const QString&)>& isExecutable);
// The same with the account's real home directory and the real executable-file test.
std::optional<QString> executableURL(const Environment& environment);
// Whether a Codex CLI can be found now, from this process's live environment.
bool isInstalled();

// The child's environment: no CODEX_ keys but CODEX_HOME, no OPENAI_API_KEY, a usable PATH.
Environment environment(const Environment& from);

// The five app-server arguments.
QStringList arguments();

QString baseInstructions();
QJsonObject initialize();
QJsonObject thread(const QString& directory);
QJsonObject turn(const QString& threadID, const QString& task, const QString& context);
QString turnText(const QString& task, const QString& context);

// The result answering item/tool/requestUserInput.
QJsonObject questionResponse(const CodexAnswers& answers);

// One sentence describing an approval request; nothing when `method` is not one.
std::optional<QString> reviewSummary(const QString& method, const QJsonObject& params);

// Whether the user's single allow action may accept this approval request.
bool acceptsWithOneClick(const QString& method, const QJsonObject& params);

// The accepting result of an elicitation, and the declining result by method (nothing when the
// method has none and the request is rejected instead).
QJsonObject acceptResult();
std::optional<QJsonObject> declineResult(const QString& method);

// Reads a question request; nothing when any rule is broken, in which case the whole request
// is rejected.
std::optional<CodexQuestionRequest> questionRequest(const QJsonValue& id, const QJsonObject& params);

} // namespace kestrabo::CodexWorkerProtocol
