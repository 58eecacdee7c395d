#include "support/FakeGrabber.h"

#include "support/ModelFixture.h"
#include "support/TestSupport.h"
#include "system/Permissions.h"

#include <QGuiApplication>
#include <QScreen>

#include <gtest/gtest.h>

using namespace kestrabo;
using namespace Qt::StringLiterals;

namespace {

// The companion model on doubles, with a capture backend showing the offscreen screen (which
// has no name; as the only display it is identified anyway).
struct ScreenModel : test::ModelFixture {
    test::FakeGrabber grabber;
    QScreen* screen = QGuiApplication::primaryScreen();

    ScreenModel()
    {
        lastScreenAccess.reset();
        access.screenPreflight = true;
        const QSize pixels = (QSizeF(screen->geometry().size()) * screen->devicePixelRatio()).toSize();
        grabber.displays = {{u"screen"_s, u"screen"_s, QRect(QPoint(0, 0), pixels)}};
        grabber.image = QImage(pixels, QImage::Format_RGB32);
        grabber.image.fill(Qt::darkCyan);
        platform.grabber = &grabber;
    }
};

} // namespace

TEST(AppModelScreen, CircledRegionIsCapturedClearedOrRefused)
{
    ScreenModel f;
    AppModel& model = f.make({.enableShortcuts = false, .loadCredentials = false});
    model.circle(f.screen, QRectF(10, 10, 100, 80));
    EXPECT_TRUE(model.selected() && model.expanded());
    EXPECT_EQ(model.contextLabel(), u"Capturing your selection"_s);
    ASSERT_TRUE(test::waitUntil([&] { return model.snapshot().has_value(); }));
    EXPECT_EQ(model.contextLabel(), u"Circled region ready. Ask about it."_s);
    ASSERT_TRUE(model.selectedCrop());
    EXPECT_EQ(model.selectedCrop(), model.snapshot()->crop);
    model.clearSelection();
    EXPECT_FALSE(model.selected() || model.selectedCrop() || model.snapshot());
    EXPECT_EQ(model.contextLabel(), u"Screen context is off until you start"_s);

    // A selection cleared while its capture runs never lands.
    f.grabber.hold = true;
    model.circle(f.screen, QRectF(10, 10, 100, 80));
    ASSERT_TRUE(test::waitUntil([&] { return f.grabber.holding(); }));
    model.clearSelection();
    for (int step = 0; step < 2; ++step, test::spin(100))
        f.grabber.release(); // the displays, then the capture if it was asked for
    EXPECT_FALSE(model.snapshot() || model.selected());

    // A refused capture shows the permission sentence.
    f.grabber.hold = false;
    f.grabber.captureError = test::accessDenied();
    model.circle(f.screen, QRectF(10, 10, 100, 80));
    ASSERT_TRUE(test::waitUntil([&] { return model.error().has_value(); }));
    EXPECT_FALSE(model.selected());
    EXPECT_TRUE(model.error()->startsWith(u"Allow Kestrabo to capture the screen in the desktop's privacy settings"_s));
}

TEST(AppModelScreen, ScreenPermissionRefreshAndRequest)
{
    ScreenModel f;
    f.access.screenPreflight = false;
    AppModel& model = f.make({.enableShortcuts = false, .loadCredentials = false});
    model.refreshPermissions();
    ASSERT_TRUE(test::waitUntil([&] { return !model.screenPermissionChecking(); }));
    EXPECT_EQ(model.screenPermissionNotice(), u"Screen access is not confirmed. Choose Allow to check it once."_s);
    EXPECT_FALSE(model.screenAllowed());

    // Allow: the probe finds a display. A refusal opens the screen settings and clears the flag.
    model.requestScreenAccess();
    ASSERT_TRUE(test::waitUntil([&] { return model.screenAllowed() && !model.screenPermissionChecking(); }));
    EXPECT_FALSE(model.screenPermissionNotice());
    f.grabber.displaysError = test::accessDenied();
    model.requestScreenAccess();
    ASSERT_TRUE(test::waitUntil([&] { return !model.screenAllowed(); }));
    EXPECT_EQ(f.access.openedPanes, QStringList{u"Privacy_ScreenCapture"_s});

    // A desktop whose preflight still says yes does not paint over the refusal just found.
    f.access.screenPreflight = true;
    model.requestScreenAccess();
    ASSERT_TRUE(test::waitUntil([&] { return !model.screenPermissionChecking(); }));
    test::spin(100);
    EXPECT_FALSE(model.screenAllowed());
    EXPECT_TRUE(lastScreenAccess && lastScreenAccess->isDenied());
}
