// A Responses reply through the output text, the route decision and the worker-answer
// decoding.
#include "FuzzSupport.h"

#include "core/Json.h"
#include "live/Protocol.h"
#include "routing/ResponsesTransport.h"
#include "routing/RouteService.h"
#include "routing/WorkerAnswerService.h"

#include <QJsonObject>

using namespace kestrabo;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const auto value = json::parse(QByteArray(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size)));
    if (!value || !value->isObject())
        return 0;
    const QJsonObject reply = value->toObject();
    (void)ResponsesTransport::outputText(reply);

    if (const Result<RouteDecision> decision = RouteService::parse(reply)) {
        // A task decision always names its work.
        const RouteDecision& d = decision.value();
        if (d.route == QuestionRoute::task && d.tasks.isEmpty() && d.task.isEmpty())
            __builtin_trap();
    }
    if (const Result<WorkerAnswerDecision> answer = WorkerAnswerService::parse(reply)) {
        const WorkerAnswerDecision grounded = WorkerAnswerService::ground(answer.value(), QStringLiteral("the blue one"));
        if (grounded.kind == WorkerAnswerKind::answer && grounded.answer.trimmed().isEmpty())
            __builtin_trap();
    }
    return 0;
}
