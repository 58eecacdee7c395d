#pragma once

#include "support/FakeGrabber.h"
#include "support/ModelFixture.h"
#include "support/TestSupport.h"

#include <QAbstractButton>
#include <QJsonObject>
#include <QLabel>
#include <QWidget>

#include <gtest/gtest.h>

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
        model->receive({{QStringLiteral("type"), user ? QStringLiteral("session.input_transcript.delta")
                                                      : QStringLiteral("session.output_transcript.delta")},
                        {QStringLiteral("delta"), text},
                        {QStringLiteral("start_ms"), startMs},
                        {QStringLiteral("end_ms"), startMs + 200}});
    }
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
