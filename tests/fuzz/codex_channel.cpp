// The Codex child's output, cut at arbitrary points, through the channel's line splitting and
// dispatch, with every server request read as a question request.
#include "FuzzSupport.h"

#include "codex/CodexRPC.h"
#include "codex/CodexWorkerProtocol.h"

#include <QJsonObject>

#include <algorithm>

namespace kestrabo {

struct CodexRPCProbe {
    static void receive(CodexRPC& channel, QByteArrayView chunk) { channel.receive(chunk); }
};

} // namespace kestrabo

using namespace kestrabo;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzz::startApplication();
    if (size < 1)
        return 0;
    // The first byte chooses the cut points: chunks of 1 + (seed * i) % 97 bytes.
    const unsigned seed = data[0];
    const char* bytes = reinterpret_cast<const char*>(data + 1);
    const qsizetype total = static_cast<qsizetype>(size - 1);

    CodexRPC channel(QStringLiteral("/nonexistent"), {}, {}, QString());
    int dispatched = 0;
    channel.onMessage = [&](const QJsonObject& message) {
        ++dispatched;
        const QJsonObject params = message.value(u"params").toObject();
        if (const auto request = CodexWorkerProtocol::questionRequest(message.value(u"id"), params)) {
            for (const CodexQuestion& question : request->questions)
                (void)question.prompt.size();
        }
        const QString method = message.value(u"method").toString();
        (void)CodexWorkerProtocol::reviewSummary(method, params);
        (void)CodexWorkerProtocol::acceptsWithOneClick(method, params);
        if (dispatched == 50)
            channel.close();
    };
    channel.onFailure = [](const KestraboError&) {};
    qsizetype offset = 0;
    for (unsigned i = 1; offset < total && !channel.isClosed(); ++i) {
        const qsizetype length = std::min<qsizetype>(total - offset, 1 + (seed * i) % 97);
        CodexRPCProbe::receive(channel, QByteArrayView(bytes + offset, length));
        offset += length;
    }
    QCoreApplication::processEvents();
    return 0;
}
