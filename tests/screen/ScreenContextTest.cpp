#include "support/FakeGrabber.h"

#include "platform/StaticSystemAccess.h"
#include "routing/ScreenContext.h"
#include "support/TestSupport.h"
#include "system/Permissions.h"

#include <QPainter>

#include <gtest/gtest.h>

using namespace kestrabo;
using namespace Qt::StringLiterals;
using test::FakeGrabber;

namespace {

const QString kPermission =
    u"Allow Kestrabo to capture the screen in the desktop's privacy settings, then return to Kestrabo and refresh "
    "permissions."_s;
const QString kUnavailable = u"The current display is unavailable."_s;

// A capture through a fake backend showing a white display of `points` × `scale` pixels.
struct Capture {
    StaticSystemAccess access;
    FakeGrabber grabber;
    std::optional<ScreenContext::Display> display;

    explicit Capture(QSizeF points = QSizeF(1440, 900), qreal scale = 2)
    {
        lastScreenAccess.reset();
        access.screenPreflight = true;
        show(points, scale);
    }
    void show(QSizeF points, qreal scale)
    {
        display = {u"screen"_s, u"Test display"_s, points, scale};
        const QSize pixels = (points * scale).toSize();
        grabber.displays = {{u"screen"_s, u"screen"_s, QRect(QPoint(), pixels)}};
        grabber.image = QImage(pixels, QImage::Format_RGB32);
        grabber.image.fill(Qt::white);
    }
    Result<ScreenSnapshot> run(const std::optional<QRectF>& selection = std::nullopt, Job job = Job::start())
    {
        std::optional<Result<ScreenSnapshot>> result;
        ScreenContext::capture(Platform{.access = &access, .grabber = &grabber}, display, selection, job,
                               [&](const Result<ScreenSnapshot>& r) { result = r; });
        EXPECT_FALSE(result) << "answered inside the call";
        EXPECT_TRUE(test::waitUntil([&] { return result.has_value(); }));
        return result.value_or(Result<ScreenSnapshot>(KestraboError::message(u"no answer"_s)));
    }
    QString failure(const std::optional<QRectF>& selection = std::nullopt)
    {
        const Result<ScreenSnapshot> result = run(selection);
        return result ? QString() : result.error().description();
    }
};

QSize jpegSize(const std::optional<QByteArray>& jpeg)
{
    return jpeg ? QImage::fromData(*jpeg, "JPEG").size() : QSize();
}

} // namespace

TEST(SelectionGeometry, MapsPointsToPixelsFromTheLowerLeft)
{
    using SelectionGeometry::pixelRect;
    const qreal inf = std::numeric_limits<qreal>::infinity(), nan = std::numeric_limits<qreal>::quiet_NaN();
    const QSizeF points(1440, 900), pixels(2880, 1800), unit(100, 100);
    EXPECT_EQ(pixelRect(QRectF(100, 100, 200, 50), points, pixels), QRectF(200, 1500, 400, 100));
    // Negative sizes are standardised; past the edge is clipped; wholly outside is nothing.
    EXPECT_EQ(pixelRect(QRectF(300, 150, -200, -50), points, pixels), QRectF(200, 1500, 400, 100));
    EXPECT_EQ(pixelRect(QRectF(1400, 850, 100, 100), points, pixels), QRectF(2800, 0, 80, 100));
    EXPECT_EQ(pixelRect(QRectF(-50, -50, 100, 100), points, pixels), QRectF(0, 1700, 100, 100));
    EXPECT_EQ(pixelRect(QRectF(1500, 100, 100, 100), points, pixels), QRectF());
    // Fractions grow to whole pixels.
    EXPECT_EQ(pixelRect(QRectF(10.25, 10, 1, 1), unit, unit), QRectF(10, 89, 2, 1));
    EXPECT_EQ(pixelRect(QRectF(10, 10, 1, 200), unit, unit), QRectF(10, 0, 1, 90));
    // Unusable input.
    for (const auto& [selection, from, to] : {std::tuple{QRectF(0, 0, 10, 10), QSizeF(0, 900), pixels},
                                              {QRectF(0, 0, 10, 10), points, QSizeF(2880, -1)},
                                              {QRectF(0, 0, 10, 10), QSizeF(inf, 900), pixels},
                                              {QRectF(nan, 0, 10, 10), points, pixels},
                                              {QRectF(0, 0, inf, 10), points, pixels}})
        EXPECT_EQ(pixelRect(selection, from, to), QRectF());
}

TEST(ScreenContext, JpegIsBoundedAndTheCropCutFromTheFullCapture)
{
    Capture c;
    QPainter(&c.grabber.image).fillRect(QRect(200, 1500, 400, 100), Qt::red);
    Result<ScreenSnapshot> snapshot = c.run(QRectF(100, 100, 200, 50));
    ASSERT_TRUE(snapshot && snapshot.value().crop);
    EXPECT_EQ(c.grabber.requestedSize, QSize(2880, 1800)) << "points times the display's scale";
    EXPECT_EQ(jpegSize(snapshot.value().jpeg), QSize(2048, 1280));
    EXPECT_EQ(snapshot.value().displayName, u"Test display"_s);
    const QImage crop = QImage::fromData(*snapshot.value().crop, "JPEG");
    EXPECT_EQ(crop.size(), QSize(400, 100));
    EXPECT_GT(crop.pixelColor(200, 50).red(), 240);
    EXPECT_LT(crop.pixelColor(200, 50).green(), 20);
    // Wholly outside: no crop, still a capture.
    snapshot = c.run(QRectF(2000, 100, 100, 100));
    ASSERT_TRUE(snapshot);
    EXPECT_FALSE(snapshot.value().crop);

    // Small enough stays as it is; one point wide at 1x is too small to crop.
    c.show(QSizeF(1600, 1000), 1);
    snapshot = c.run(QRectF(10, 10, 1, 100));
    ASSERT_TRUE(snapshot);
    EXPECT_EQ(jpegSize(snapshot.value().jpeg), QSize(1600, 1000));
    EXPECT_FALSE(snapshot.value().crop);
    // Tall displays and huge selections are bounded alike.
    c.show(QSizeF(1000, 3000), 1);
    EXPECT_EQ(jpegSize(c.run().value().jpeg), QSize(682, 2048));
    c.show(QSizeF(4000, 1000), 1);
    EXPECT_EQ(jpegSize(c.run(QRectF(0, 0, 3000, 1000)).value().crop), QSize(2048, 682));
}

TEST(ScreenContext, PermissionGateAndDenial)
{
    Capture c;
    c.access.screenPreflight = false;
    // Nothing remembered: fails at once, the backend is never asked.
    EXPECT_EQ(c.failure(), kPermission);
    EXPECT_EQ(c.grabber.displayRequests, 0);
    // An earlier probe or capture that worked lets it through.
    lastScreenAccess = ScreenAccessStatus::available();
    EXPECT_EQ(c.failure(), QString());

    // A refusal during the capture is the permission sentence and is remembered, so the next
    // capture stops at the gate until a preflight passes.
    c.grabber.captureError = KestraboError(u"Wrapper"_s, 1, u"outer"_s).wrapping(test::accessDenied());
    EXPECT_EQ(c.failure(), kPermission);
    EXPECT_EQ(lastScreenAccess, ScreenAccessStatus::denied());
    const int requests = c.grabber.displayRequests;
    c.grabber.captureError.reset();
    EXPECT_EQ(c.failure(), kPermission);
    EXPECT_EQ(c.grabber.displayRequests, requests);
    c.access.screenPreflight = true;
    EXPECT_EQ(c.failure(), QString());
    EXPECT_EQ(lastScreenAccess, ScreenAccessStatus::available());

    // Listing the displays can be refused too.
    c.access.screenPreflight = false;
    c.grabber.displaysError = test::accessDenied();
    EXPECT_EQ(c.failure(), kPermission);
    EXPECT_EQ(lastScreenAccess, ScreenAccessStatus::denied());
}

TEST(ScreenContext, DisplayProblemsAndCancellation)
{
    Capture c;
    c.display->identifier = u"HDMI-2"_s;
    EXPECT_EQ(c.failure(), u"The display disconnected. Try again on your current display."_s);
    // A screen without a name: fine with one display, ambiguous with two.
    c.display->identifier.clear();
    EXPECT_EQ(c.failure(), QString());
    EXPECT_EQ(c.grabber.capturedIdentifier, u"screen"_s);
    c.grabber.displays.append({u"HDMI-1"_s, u"HDMI-1"_s, QRect(2880, 0, 1920, 1080)});
    EXPECT_EQ(c.failure(), kUnavailable);
    c.display.reset();
    EXPECT_EQ(c.failure(), kUnavailable);
    c.show(QSizeF(1440, 900), 2);

    // Other backend errors pass unchanged and are no denial.
    c.grabber.captureError = KestraboError(ScreenCaptureError::domain, ScreenCaptureError::readFailed, u"read"_s);
    EXPECT_EQ(c.run().error(), *c.grabber.captureError);
    EXPECT_EQ(lastScreenAccess, ScreenAccessStatus::available());
    c.grabber.captureError.reset();

    // Cancelled while the backend works: the cancellation error, nothing else.
    c.grabber.hold = true;
    const int captures = c.grabber.captureRequests;
    Job job = Job::start();
    std::optional<Result<ScreenSnapshot>> answer;
    ScreenContext::capture(Platform{.access = &c.access, .grabber = &c.grabber}, c.display, std::nullopt, job,
                           [&](const Result<ScreenSnapshot>& r) { answer = r; });
    job.cancel();
    c.grabber.release();
    ASSERT_TRUE(test::waitUntil([&] { return answer.has_value(); }));
    EXPECT_TRUE(!*answer && answer->error().isCancellation());
    EXPECT_EQ(c.grabber.captureRequests, captures);

    // No backend at all: no display to capture.
    ScreenContext::capture(Platform{.access = &c.access}, c.display, std::nullopt, Job::start(),
                           [&](const Result<ScreenSnapshot>& r) { answer = r; });
    ASSERT_TRUE(test::waitUntil([&] { return !answer->error().isCancellation(); }));
    EXPECT_EQ(answer->error().description(), kUnavailable);
}
