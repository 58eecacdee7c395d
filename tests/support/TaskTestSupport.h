#pragma once

#include "codex/CodexRPC.h"
#include "codex/CodexWorker.h"
#include "support/TestSupport.h"
#include "tasks/ComputerTask.h"

#include <QByteArray>

#include <gtest/gtest.h>

// Steps of the app-server stand-in shared by the task tests.
namespace kestrabo::test::scenario {

inline const QByteArray quick = R"({"handshake": {}}, {"delta": {"itemId": "m", "delta": "Done."}}, {"complete": "completed"})";
inline const QByteArray silentStart = R"({"handshake": {"initialize": "silent"}})";
inline const QByteArray working = R"({"handshake": {}}, {"expect": "never/sent"})";
// Holds one question until it is answered, then completes.
inline const QByteArray question = R"({"handshake": {}},
    {"serverRequest": "item/tool/requestUserInput", "params": {"itemId": "c", "questions": [
        {"id": "day", "header": "", "question": "Which day?"}]}, "await": true},
    {"delta": {"itemId": "m", "delta": "Done."}}, {"complete": "completed"})";
// An approval that one click can accept, then completion.
inline const QByteArray approval = R"({"handshake": {}},
    {"serverRequest": "mcpServer/elicitation/request", "params": {"message": "Allow the calendar app?",
     "mode": "form", "_meta": {"codex_approval_kind": "mcp_tool_call"}, "requestedSchema": {"properties": {}}},
     "await": true},
    {"delta": {"itemId": "m", "delta": "Done."}}, {"complete": "completed"})";
// The legacy command approval: the worker hands the task over.
inline const QByteArray handOver = R"({"handshake": {}}, {"serverRequest": "execCommandApproval", "params": {"reason": "Run make install"}})";

} // namespace kestrabo::test::scenario

namespace kestrabo::test {

// True once every task holds a Codex question (all children are up, side by side).
inline bool allAsking(const QList<ComputerTaskSession*>& sessions)
{
    return waitUntil([&] {
        return !sessions.isEmpty() && std::all_of(sessions.begin(), sessions.end(), [](ComputerTaskSession* s) {
            return !s->worker().pendingQuestions().isEmpty();
        });
    }, 10'000);
}

// Answers the task's question "day" directly at its worker, as the card would.
inline void answerDay(ComputerTaskSession* session)
{
    const QString request = session->worker().pendingQuestions().value(0).id;
    ASSERT_TRUE(session->worker().answerPendingQuestion(request, {{"day", {"Friday"}}}).ok());
}

inline bool reaches(ComputerTaskSession* session, ComputerTaskState state)
{
    return eventually([&] { return session->state() == state; });
}

inline qint64 codexPid(ComputerTaskSession* session)
{
    CodexRPC* rpc = session->worker().rpc();
    return rpc && rpc->process() ? rpc->process()->processId() : 0;
}

} // namespace kestrabo::test
