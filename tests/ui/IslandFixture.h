#pragma once

#include "FakeCodex.h"
#include "support/FakeGrabber.h"
#include "support/ModelFixture.h"
#include "tasks/ComputerTask.h"
#include "support/TestSupport.h"

#include <QAbstractButton>
#include <QJsonObject>
#include <QLabel>
#include <QWidget>

#include <gtest/gtest.h>

#include <memory>
#include <vector>

namespace kestrabo::test {

// A companion model whose microphone request is held, so a started conversation stays active
// for as long as a test looks at it.
struct IslandFixture : ModelFixture {
    FakeGrabber grabber;
    int terminations = 0;
    bool codexFound = false;

    IslandFixture()
    {
        access.holdRequests = true;
        grabber.hold = true;
        platform.grabber = &grabber;
        platform.codexInstalled = [this] { return codexFound; };
        make();
        model->onTerminate = [this] { ++terminations; };
    }

    void startConversation()
    {
        model->setApiKey(QStringLiteral("sk-test"));
        model->toggle();
        ASSERT_TRUE(model->active());
    }

    void transcript(bool user, const QString& text, int startMs)
    {
        model->receive(event(user ? QStringLiteral("session.input_transcript.delta")
                                  : QStringLiteral("session.output_transcript.delta"),
                             {{QStringLiteral("delta"), text}, {QStringLiteral("start_ms"), startMs},
                              {QStringLiteral("end_ms"), startMs + 200}}));
    }
};

// Starts the model's computer tasks, each on its own app-server stand-in running `steps`.
struct StandInTasks {
    std::vector<std::unique_ptr<fakecodex::FakeCodexDirectory>> codexes;

    ComputerTaskSession* start(AppModel& model, const QByteArray& steps, const QString& task)
    {
        codexes.push_back(std::make_unique<fakecodex::FakeCodexDirectory>());
        codexes.back()->setScenario("{\"steps\":[" + steps + "]}");
        // The worker looks Codex up as it starts, which is now.
        fakecodex::PathPrefix path(codexes.back()->directory());
        return model.taskManager().start(task, QString(), QString(), {}, std::nullopt);
    }
    fakecodex::FakeCodexDirectory& codex(qsizetype index) { return *codexes.at(size_t(index)); }
};

// The visible texts under `root`, in creation order.
inline QStringList visibleTexts(const QWidget& root)
{
    QStringList texts;
    for (const QLabel* label : root.findChildren<QLabel*>())
        if (label->isVisibleTo(&root) && !label->text().isEmpty())
            texts.append(label->text());
    for (const QAbstractButton* button : root.findChildren<QAbstractButton*>())
        if (button->isVisibleTo(&root) && !button->text().isEmpty())
            texts.append(button->text());
    return texts;
}

template <class T = QAbstractButton>
T* child(const QWidget& root, const QString& name)
{
    T* found = root.findChild<T*>(name);
    EXPECT_NE(found, nullptr) << name.toStdString();
    return found;
}

} // namespace kestrabo::test
