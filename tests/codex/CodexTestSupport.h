#pragma once

#include "FakeCodex.h"
#include "codex/CodexRPC.h"
#include "codex/CodexWorkerProtocol.h"
#include "support/TestSupport.h"

#include <QJsonArray>
#include <QJsonDocument>

#include <gtest/gtest.h>

namespace kestrabo::test {

inline QByteArray scenario(const QByteArray& steps, const char* extra = "")
{
    return "{\"steps\":[" + steps + "]" + extra + "}";
}

// "<ok>", "<cancelled>" or the failure's sentence, so one comparison shows what happened.
template <class R>
QString describe(const R& result)
{
    if (result.ok())
        return QStringLiteral("<ok>");
    return result.error().isCancellation() ? QStringLiteral("<cancelled>") : result.error().description();
}

} // namespace kestrabo::test
