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

namespace {

// The companion model with the real key source and screen grabber on the suite's X server.
// Microphone requests are held, so a started conversation stays in `connecting`.
struct ShortcutModel : ModelFixture {
    X11KeySource keys;
    X11ScreenGrabber grabber;
    FakeInput input;

    // The platform services outlive the model.
    ~ShortcutModel() { model.reset(); }

    AppModel& build()
    {
        access.listenEvent = true;
        access.screenPreflight = true;
        access.holdRequests = true;
        platform.keys = &keys;
        platform.grabber = &grabber;
        AppModel& built = make({.enableShortcuts = true, .loadCredentials = false});
        built.setApiKey(QStringLiteral("sk-test"));
        return built;
    }
};

} // namespace

TEST(ShortcutModel, TapTogglesTheConversation)
{
    ShortcutModel f;
    AppModel& model = f.build();
    EXPECT_TRUE(model.shortcutAvailable());

    f.input.press("Shift_R");
    f.input.release("Shift_R");
    ASSERT_TRUE(waitUntil([&] { return model.active(); }));
    EXPECT_EQ(model.state(), CompanionState::connecting);
    EXPECT_EQ(model.gestureDiagnostics(), QStringLiteral("Right Shift tapped"));

    f.input.press("Shift_R");
    f.input.release("Shift_R");
    ASSERT_TRUE(waitUntil([&] { return !model.active(); }));
}

TEST(ShortcutModel, HoldDragReleaseCapturesTheRegionAndStartsAConversation)
{
    ShortcutModel f;
    AppModel& model = f.build();
    ASSERT_TRUE(model.shortcutAvailable());

    f.input.moveTo(QPoint(400, 300));
    f.input.press("Shift_R");
    ASSERT_TRUE(waitUntil([&] {
        SelectionPanel* panel = model.selection().window();
        return panel && panel->windowHandle() && panel->windowHandle()->isExposed();
    }));
    EXPECT_EQ(model.gestureDiagnostics(), QStringLiteral("Right Shift held. Drag to circle."));
    LassoView* canvas = model.selection().canvas();
    f.input.button(true);
    for (const QPoint point : {QPoint(420, 320), QPoint(600, 320), QPoint(600, 450)}) {
        f.input.moveTo(point);
        ASSERT_TRUE(waitUntil([&] { return !canvas->points().isEmpty() && canvas->points().last().x() == point.x(); }));
    }
    f.input.release("Shift_R");
    ASSERT_TRUE(waitUntil([&] { return model.selectedCrop().has_value(); }, 10'000)) << model.error().value_or(QString()).toStdString();
    EXPECT_TRUE(model.selected());
    EXPECT_FALSE(model.selectedCrop()->isEmpty());
    EXPECT_EQ(model.contextLabel(), QStringLiteral("Circled region ready. Ask about it."));
    EXPECT_TRUE(model.active());
    EXPECT_EQ(model.selection().window(), nullptr);
    f.input.button(false);
}
