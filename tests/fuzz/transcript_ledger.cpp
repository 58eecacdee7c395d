// Sequences of transcript deltas, one event per line, into a small ledger and its views.
#include "FuzzSupport.h"

#include "core/Json.h"
#include "live/Protocol.h"

#include <QJsonObject>

using namespace kestrabo;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1)
        return 0;
    // The first byte sets the retention, so eviction is exercised with short inputs.
    TranscriptLedger ledger(1 + data[0] % 16);
    for (const QByteArray& line : fuzz::lines(data + 1, size - 1)) {
        const auto value = json::parse(QByteArray(line.constData(), line.size()));
        if (!value || !value->isObject())
            continue;
        ledger.ingest(value->toObject());
        if (ledger.fragments().size() > ledger.retention() || ledger.ordered().size() != ledger.fragments().size())
            __builtin_trap();
        for (qsizetype i = 1; i < ledger.ordered().size(); ++i) {
            if (ledger.ordered()[i].start < ledger.ordered()[i - 1].start)
                __builtin_trap();
        }
    }
    (void)ledger.captions();
    (void)ledger.latestUserText();
    (void)ledger.context();
    (void)ledger.context(1.5);
    return 0;
}
