#pragma once

#include "FakeCodex.h"
#include "codex/CodexRPC.h"
#include "codex/CodexWorkerProtocol.h"
#include "platform/HostSystem.h"
#include "support/TestSupport.h"

#include <QJsonDocument>

#include <gtest/gtest.h>

#include <memory>

namespace kestrabo::test {

// Real child processes on a loaded machine: waits are generous and never assert durations.
inline constexpr int kProcessWaitMs = 10'000;

inline QByteArray scenario(const char* steps, const char* extra = "")
{
    return QByteArray("{\"steps\":[") + steps + "]" + extra + "}";
}

// A channel to the stand-in with everything it reports captured.
struct ChannelFixture {
    fakecodex::FakeCodexDirectory fake;
    std::unique_ptr<CodexRPC> rpc;
    QList<QJsonObject> messages;
    QList<KestraboError> failures;

    bool start(const QByteArray& steps)
    {
        if (!fake.isValid() || !fake.setScenario(steps))
            return false;
        rpc = std::make_unique<CodexRPC>(fake.executable(), CodexWorkerProtocol::arguments(),
                                         host::processEnvironment(), fake.directory());
        rpc->onMessage = [this](const QJsonObject& message) { messages.append(message); };
        rpc->onFailure = [this](const KestraboError& error) { failures.append(error); };
        return rpc->launch().ok();
    }

    using Outcome = std::shared_ptr<std::optional<Result<QJsonObject>>>;

    Outcome request(const QString& method, const QJsonObject& params = {}, int timeoutMs = kProcessWaitMs)
    {
        auto outcome = std::make_shared<std::optional<Result<QJsonObject>>>();
        rpc->request(method, params, timeoutMs, [outcome](Result<QJsonObject> result) { *outcome = std::move(result); });
        return outcome;
    }

    static bool settled(const Outcome& outcome) { return waitUntil([&] { return outcome->has_value(); }, kProcessWaitMs); }

    bool processGone() const
    {
        return waitUntil([&] { return !rpc->process() || rpc->process()->state() == QProcess::NotRunning; },
                         kProcessWaitMs);
    }
};

inline QString errorOf(const ChannelFixture::Outcome& outcome)
{
    if (!outcome->has_value() || (*outcome)->ok())
        return QStringLiteral("<no error>");
    return (*outcome)->error().description();
}

} // namespace kestrabo::test
