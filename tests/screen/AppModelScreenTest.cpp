#include "support/FakeGrabber.h"

#include "support/ModelFixture.h"
#include "support/TestSupport.h"
#include "system/Permissions.h"

#include <QGuiApplication>
#include <QScreen>

#include <gtest/gtest.h>

using namespace kestrabo;
using test::FakeGrabber;

namespace {

// The companion model on doubles, with a capture backend that knows the offscreen screen.
struct ScreenModel : test::ModelFixture {
    FakeGrabber grabber;
    QScreen* screen = QGuiApplication::primaryScreen();

    ScreenModel()
    {
        lastScreenAccess.reset();
        access.screenPreflight = true;
        const QSize pixels = (QSizeF(screen->geometry().size()) * screen->devicePixelRatio()).toSize();
        // The offscreen screen has no name; a single display identifies it anyway.
        grabber.displays = {{QStringLiteral("screen"), QStringLiteral("screen"), QRect(QPoint(0, 0), pixels)}};
        grabber.image = QImage(pixels, QImage::Format_RGB32);
        grabber.image.fill(Qt::darkCyan);
    }

    AppModel& build()
    {
        model = std::make_unique<AppModel>(AppModel::Options{.enableShortcuts = false, .loadCredentials = false}, *store,
                                           Platform{.access = &access, .preferences = preferences.get(), .grabber = &grabber});
        return *model;
    }
};

} // namespace

TEST(AppModelScreen, CircledRegionIsCapturedAndCleared)
{
    ScreenModel f;
    ASSERT_NE(f.screen, nullptr);
    AppModel& model = f.build();

    model.circle(f.screen, QRectF(10, 10, 100, 80));
    EXPECT_TRUE(model.selected());
    EXPECT_TRUE(model.expanded());
    EXPECT_EQ(model.contextLabel(), QStringLiteral("Capturing your selection"));
    ASSERT_TRUE(test::waitUntil([&] { return model.snapshot().has_value(); }));
    EXPECT_EQ(model.contextLabel(), QStringLiteral("Circled region ready. Ask about it."));
    ASSERT_TRUE(model.selectedCrop());
    EXPECT_EQ(model.selectedCrop(), model.snapshot()->crop);
    EXPECT_TRUE(model.findings().isEmpty());
    EXPECT_EQ(f.grabber.capturedIdentifier, QStringLiteral("screen"));
    // No conversation was running, so circling starts one; without a key that opens settings.
    EXPECT_TRUE(model.settings());
    EXPECT_FALSE(model.error());

    model.clearSelection();
    EXPECT_FALSE(model.selected());
    EXPECT_FALSE(model.selectedCrop());
    EXPECT_FALSE(model.snapshot());
    EXPECT_EQ(model.contextLabel(), QStringLiteral("Screen context is off until you start"));

    // A selection cleared while its capture runs never lands.
    f.grabber.hold = true;
    model.circle(f.screen, QRectF(10, 10, 100, 80));
    ASSERT_TRUE(test::waitUntil([&] { return f.grabber.holding(); }));
    model.clearSelection();
    f.grabber.release();
    test::waitUntil([&] { return f.grabber.holding(); }, 200);
    f.grabber.release();
    test::spin(100);
    EXPECT_FALSE(model.snapshot());
    EXPECT_FALSE(model.selected());
}

TEST(AppModelScreen, FailedCircleCaptureShowsTheError)
{
    ScreenModel f;
    f.access.screenPreflight = false;
    AppModel& model = f.build();
    model.circle(f.screen, QRectF(10, 10, 100, 80));
    ASSERT_TRUE(test::waitUntil([&] { return model.error().has_value(); }));
    EXPECT_FALSE(model.selected());
    EXPECT_TRUE(model.error()->startsWith(QStringLiteral("Allow Kestrabo in System Settings \u2192")));
    EXPECT_FALSE(model.snapshot());
    EXPECT_EQ(f.grabber.displayRequests, 0);
}

TEST(AppModelScreen, PermissionRefreshAndRequests)
{
    ScreenModel f;
    f.access.screenPreflight = false;
    AppModel& model = f.build();
    EXPECT_FALSE(model.screenAllowed());

    model.refreshPermissions();
    EXPECT_TRUE(model.screenPermissionChecking());
    ASSERT_TRUE(test::waitUntil([&] { return !model.screenPermissionChecking(); }));
    EXPECT_TRUE(model.screenPermissionUnavailable());
    EXPECT_EQ(model.screenPermissionNotice(),
              QStringLiteral("Screen access is not confirmed. Choose Allow to check it once."));
    EXPECT_FALSE(model.screenAllowed());

    // Allow: the probe finds a display; the refresh that follows remembers it.
    model.requestScreenAccess();
    ASSERT_TRUE(test::waitUntil([&] { return model.screenAllowed(); }));
    test::waitUntil([&] { return !model.screenPermissionChecking(); });
    EXPECT_FALSE(model.screenPermissionUnavailable());
    EXPECT_FALSE(model.screenPermissionNotice());
    EXPECT_TRUE(f.access.openedPanes.isEmpty());

    // A refusal opens the screen settings and clears the flag.
    f.grabber.displaysError = test::accessDenied();
    model.requestScreenAccess();
    ASSERT_TRUE(test::waitUntil([&] { return !model.screenAllowed(); }));
    EXPECT_EQ(f.access.openedPanes, QStringList{QStringLiteral("Privacy_ScreenCapture")});
    EXPECT_EQ(lastScreenAccess, ScreenAccessStatus::denied());

    // Microphone refused: its settings open and the flag follows the real answer.
    f.access.microphone = false;
    f.access.microphoneGrant = false;
    model.requestMicrophoneAccess();
    ASSERT_TRUE(test::waitUntil([&] { return f.access.openedPanes.size() == 2; }));
    EXPECT_EQ(f.access.openedPanes.last(), QStringLiteral("Privacy_Microphone"));
    test::spin(20);
    EXPECT_FALSE(model.microphoneAllowed());
}
