#pragma once

#include "FakeCodex.h"
#include "codex/CodexRPC.h"
#include "codex/CodexWorker.h"
#include "e2e/Conversation.h"
#include "support/TaskTestSupport.h"
#include "tasks/BrowserWorkspace.h"
#include "tasks/ComputerTask.h"

#include <gtest/gtest.h>

namespace kestrabo::test {

// A conversation whose computer tasks run the app-server stand-in, found on PATH as `codex`.
struct TaskConversation : Conversation {
    fakecodex::FakeCodexDirectory codex;
    fakecodex::PathPrefix path{codex.directory()};

    TaskConversation(const QByteArray& codexSteps, const QJsonArray& replies, QJsonObject voiceScenario = {})
        : Conversation(replies, std::move(voiceScenario))
    {
        codex.setScenario("{\"steps\":[" + codexSteps + "]}");
        platform.codexInstalled = [] { return true; };
    }

    const QList<ComputerTaskSession*>& sessions() { return model->taskManager().sessions(); }
    ComputerTaskSession* startTask(const QString& task)
    {
        return model->taskManager().start(task, QString(), QString(), {}, model->generation());
    }
    bool allWaiting(qsizetype count) { return waitUntil([&] { return sessions().size() == count; }) && allAsking(sessions()); }
    QList<qint64> pids()
    {
        QList<qint64> ids;
        for (ComputerTaskSession* s : sessions())
            ids.append(codexPid(s));
        return ids;
    }
    // Spoken context sent without a delegation, one entry per chunk.
    QStringList said() const
    {
        QStringList texts;
        for (const QJsonObject& event : voice.received("session.commentary.append")) {
            if (event.value("delegation_id").isNull())
                texts.append(event.value("content").toString());
        }
        return texts;
    }
    // How often the voice model was asked this question.
    qsizetype asked(const QString& prompt) const { return said().join(QString()).count("<question>" + prompt + "</question>"); }
};

} // namespace kestrabo::test
