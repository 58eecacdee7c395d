// A Codex server request's params, read as a question request and answered back.
#include "FuzzSupport.h"

#include "codex/CodexWorkerProtocol.h"
#include "core/Json.h"

#include <QJsonObject>

using namespace kestrabo;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const auto value = json::parse(QByteArray(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size)));
    if (!value || !value->isObject())
        return 0;
    const QJsonObject message = value->toObject();
    const auto request = CodexWorkerProtocol::questionRequest(message.value(u"id"), message.value(u"params").toObject());
    if (!request)
        return 0;
    // A request that was accepted must hold together: every question has an id and a prompt,
    // and answering each with its first option builds a response.
    CodexAnswers answers;
    for (const CodexQuestion& question : request->questions) {
        if (question.id.isEmpty() || question.prompt.isEmpty())
            __builtin_trap();
        answers.insert(question.id, question.options.isEmpty() ? QStringList{QStringLiteral("yes")}
                                                               : QStringList{question.options.first().label});
    }
    (void)CodexWorkerProtocol::questionResponse(answers);
    return 0;
}
