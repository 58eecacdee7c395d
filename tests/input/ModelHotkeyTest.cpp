#include "FakeInput.h"
#include "input/SelectionController.h"
#include "platform/linux/X11KeySource.h"
#include "platform/linux/X11ScreenGrabber.h"
#include "support/ModelFixture.h"
#include "support/TestSupport.h"

#include <QWindow>

#include <gtest/gtest.h>

using namespace kestrabo;
using namespace kestrabo::test;

// The model on the real key source and screen grabber of the suite's X server. Microphone
// requests are held, so a started conversation stays `connecting`.
TEST(ShortcutModel, TapTogglesAndHoldDragReleaseCapturesTheRegionAndStarts)
{
    X11KeySource keys;
    X11ScreenGrabber grabber;
    FakeInput input;
    ModelFixture f;
    f.access.listenEvent = true;
    f.access.screenPreflight = true;
    f.access.holdRequests = true;
    f.platform.keys = &keys;
    f.platform.grabber = &grabber;
    AppModel& model = f.make({.enableShortcuts = true, .loadCredentials = false});
    model.setApiKey(QStringLiteral("sk-test"));
    EXPECT_TRUE(model.shortcutAvailable());

    for (bool active : {true, false}) {
        input.press("Shift_R");
        input.release("Shift_R");
        ASSERT_TRUE(waitUntil([&] { return model.active() == active; }));
    }
    EXPECT_EQ(model.gestureDiagnostics(), QStringLiteral("Right Shift tapped"));

    input.moveTo(QPoint(400, 300));
    input.press("Shift_R");
    ASSERT_TRUE(waitUntil([&] {
        SelectionPanel* panel = model.selection().window();
        return panel && panel->windowHandle() && panel->windowHandle()->isExposed();
    }));
    EXPECT_EQ(model.gestureDiagnostics(), QStringLiteral("Right Shift held. Drag to circle."));
    LassoView* canvas = model.selection().canvas();
    input.button(true);
    for (const QPoint point : {QPoint(420, 320), QPoint(600, 320), QPoint(600, 450)}) {
        input.moveTo(point);
        ASSERT_TRUE(waitUntil([&] { return !canvas->points().isEmpty() && canvas->points().last().x() == point.x(); }));
    }
    input.release("Shift_R");
    ASSERT_TRUE(waitUntil([&] { return model.selectedCrop().has_value(); }, 10'000))
        << model.error().value_or(QString()).toStdString();
    EXPECT_FALSE(model.selectedCrop()->isEmpty());
    EXPECT_TRUE(model.selected());
    EXPECT_TRUE(model.active());
    EXPECT_EQ(model.selection().window(), nullptr);
    input.button(false);
    f.model.reset(); // before the key source it listens through
}
