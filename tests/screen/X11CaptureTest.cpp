#include "support/XFixture.h"

#include "platform/StaticSystemAccess.h"
#include "platform/linux/X11ScreenGrabber.h"
#include "routing/ScreenContext.h"
#include "support/TestSupport.h"
#include "system/Permissions.h"

#include <gtest/gtest.h>

using namespace kestrabo;

namespace {

constexpr QRgb kRed = 0xffd02020;   // the other process's window
constexpr QRgb kBlue = 0xff2040e0;  // our window, marked with our process id
constexpr QRgb kGreen = 0xff20c040; // our window, known only by its id

template <class T>
Result<T> await(const std::function<void(std::function<void(Result<T>)>)>& start)
{
    std::optional<Result<T>> result;
    start([&](const Result<T>& r) { result = r; });
    EXPECT_TRUE(test::waitUntil([&] { return result.has_value(); }, 20'000));
    return result.value_or(Result<T>(KestraboError::message(QStringLiteral("no answer"))));
}

Result<QList<ShareableDisplay>> displaysOf(X11ScreenGrabber& grabber)
{
    return await<QList<ShareableDisplay>>([&](auto done) { grabber.shareableDisplays(done); });
}

Result<QImage> grab(X11ScreenGrabber& grabber, const QString& identifier, QSize size)
{
    return await<QImage>([&](auto done) { grabber.capture(identifier, size, done); });
}

int countPixels(const QImage& image, QRgb colour)
{
    int count = 0;
    for (int y = 0; y < image.height(); ++y) {
        const auto* line = reinterpret_cast<const QRgb*>(image.constScanLine(y));
        for (int x = 0; x < image.width(); ++x)
            count += (line[x] | 0xff000000) == colour ? 1 : 0;
    }
    return count;
}

class X11Capture : public ::testing::Test {
protected:
    void SetUp() override
    {
        lastScreenAccess.reset();
        const QString problem = xvfb.start();
        ASSERT_TRUE(problem.isEmpty()) << problem.toStdString();
    }

    test::Xvfb xvfb;
};

} // namespace

TEST_F(X11Capture, LeavesOutOurWindowsAndThePointer)
{
    test::ForeignWindow other;
    ASSERT_TRUE(other.start(xvfb.display(), QRect(100, 100, 1200, 800), kRed));
    test::XWindows ours(xvfb.display());
    ASSERT_TRUE(ours.isOpen());
    // Ours partly covers the other window and partly the bare screen.
    ours.create(QRect(600, 400, 1000, 700), kBlue, true);
    const quint64 anonymous = ours.create(QRect(2000, 1000, 400, 300), kGreen, false);
    ours.warpPointer(QPoint(300, 300)); // over the other window, where nothing of ours is

    X11ScreenGrabber grabber(xvfb.display());
    grabber.ownWindows = [anonymous] { return QList<quint64>{anonymous}; };
    EXPECT_TRUE(grabber.preflight());
    Result<QList<ShareableDisplay>> displays = displaysOf(grabber);
    ASSERT_TRUE(displays) << displays.error().description().toStdString();
    ASSERT_EQ(displays.value().size(), 1);
    EXPECT_EQ(displays.value().first().geometry, QRect(0, 0, 2880, 1800));

    Result<QImage> captured = grab(grabber, displays.value().first().identifier, QSize(2880, 1800));
    ASSERT_TRUE(captured) << captured.error().description().toStdString();
    const QImage& image = captured.value();
    ASSERT_EQ(image.size(), QSize(2880, 1800));
    EXPECT_TRUE(grabber.lastReadUsedSharedMemory());

    // Where ours covers the other window, the other window shows; nothing of ours anywhere.
    EXPECT_EQ(image.pixel(700, 500) | 0xff000000, kRed);
    EXPECT_EQ(image.pixel(1299, 899) | 0xff000000, kRed);
    EXPECT_EQ(image.pixel(1250, 850) | 0xff000000, kRed);
    EXPECT_EQ(countPixels(image, kBlue), 0);
    EXPECT_EQ(countPixels(image, kGreen), 0);
    EXPECT_EQ(countPixels(image, kRed), 1200 * 800);
    // The pointer is not drawn: the area around it is the window's colour only.
    EXPECT_EQ(countPixels(image.copy(QRect(280, 280, 48, 48)), kRed), 48 * 48);

    // Scaled when asked for another size, as for a display with another scale.
    Result<QImage> half = grab(grabber, displays.value().first().identifier, QSize(1440, 900));
    ASSERT_TRUE(half);
    EXPECT_EQ(half.value().size(), QSize(1440, 900));
}

TEST_F(X11Capture, CapturesThroughScreenContextWithTheCircledRegion)
{
    test::ForeignWindow other;
    // (200, 1500) to (600, 1600) in pixels is (100, 100, 200, 50) in points from the lower left.
    ASSERT_TRUE(other.start(xvfb.display(), QRect(200, 1500, 400, 100), kRed));
    X11ScreenGrabber grabber(xvfb.display());
    StaticSystemAccess access;
    access.screenPreflight = grabber.preflight();
    Result<QList<ShareableDisplay>> displays = displaysOf(grabber);
    ASSERT_TRUE(displays && !displays.value().isEmpty());
    const ScreenContext::Display display{displays.value().first().identifier, QStringLiteral("Xvfb"),
                                         QSizeF(1440, 900), 2};

    Result<ScreenSnapshot> snapshot = await<ScreenSnapshot>([&](auto done) {
        ScreenContext::capture(Platform{.access = &access, .grabber = &grabber}, display, QRectF(100, 100, 200, 50),
                               Job::start(), done);
    });
    ASSERT_TRUE(snapshot) << snapshot.error().description().toStdString();
    EXPECT_EQ(lastScreenAccess, ScreenAccessStatus::available());
    QImage whole, crop;
    ASSERT_TRUE(whole.loadFromData(snapshot.value().jpeg, "JPEG"));
    EXPECT_EQ(whole.size(), QSize(2048, 1280));
    ASSERT_TRUE(snapshot.value().crop);
    ASSERT_TRUE(crop.loadFromData(*snapshot.value().crop, "JPEG"));
    EXPECT_EQ(crop.size(), QSize(400, 100));
    EXPECT_GT(qRed(crop.pixel(200, 50)), 180);
    EXPECT_LT(qGreen(crop.pixel(200, 50)), 70);
}

TEST_F(X11Capture, ADisplayThatVanishesIsReportedAsDisconnected)
{
    X11ScreenGrabber grabber(xvfb.display());
    Result<QList<ShareableDisplay>> displays = displaysOf(grabber);
    ASSERT_TRUE(displays && !displays.value().isEmpty());
    const QString identifier = displays.value().first().identifier;

    Result<QImage> unknown = grab(grabber, QStringLiteral("no-such-monitor"), QSize(100, 100));
    ASSERT_FALSE(unknown);
    EXPECT_EQ(unknown.error().code(), ScreenCaptureError::displayDisconnected);

    // Chosen, then gone before the capture.
    xvfb.stop();
    Result<QImage> gone = grab(grabber, identifier, QSize(2880, 1800));
    ASSERT_FALSE(gone);
    EXPECT_EQ(gone.error().domain(), QLatin1String(ScreenCaptureError::domain));
    EXPECT_EQ(gone.error().code(), ScreenCaptureError::displayDisconnected);
    EXPECT_EQ(gone.error().description(), QStringLiteral("The display disconnected. Try again on your current display."));
    EXPECT_FALSE(grabber.preflight());

    // Afterwards there is simply no display, and the probe says so without a denial.
    std::optional<ScreenAccessStatus> status;
    Permissions::probeScreenAccess(grabber, [&](const ScreenAccessStatus& s) { status = s; });
    ASSERT_TRUE(test::waitUntil([&] { return status.has_value(); }));
    EXPECT_TRUE(status->isUnavailable());
}

TEST(X11CaptureWithoutComposite, PreflightAndProbeRefuseQuietly)
{
    test::Xvfb xvfb;
    const QString problem = xvfb.start(QSize(640, 480), false);
    ASSERT_TRUE(problem.isEmpty()) << problem.toStdString();
    X11ScreenGrabber grabber(xvfb.display());
    EXPECT_FALSE(grabber.preflight());
    Result<QList<ShareableDisplay>> displays = displaysOf(grabber);
    ASSERT_FALSE(displays);
    EXPECT_EQ(displays.error().code(), ScreenCaptureError::compositeMissing);
    EXPECT_FALSE(Permissions::isScreenAccessDenied(displays.error()));
}
