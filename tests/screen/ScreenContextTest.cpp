#include "support/FakeGrabber.h"

#include "platform/StaticSystemAccess.h"
#include "routing/ScreenContext.h"
#include "support/TestSupport.h"
#include "system/Permissions.h"

#include <QPainter>

#include <gtest/gtest.h>

using namespace kestrabo;
using test::FakeGrabber;

namespace {

const QString kPermission = QStringLiteral(
    "Allow Kestrabo in System Settings \u2192 Privacy & Security \u2192 Screen & System Audio Recording, then "
    "return to Kestrabo and refresh permissions. If macOS asks you to quit and reopen Kestrabo, reopen it to "
    "apply access.");

struct Capture {
    StaticSystemAccess access;
    FakeGrabber grabber;
    ScreenContext::Display display{QStringLiteral("screen"), QStringLiteral("Test display"), QSizeF(1440, 900), 2};

    Capture()
    {
        lastScreenAccess.reset();
        access.screenPreflight = true;
        grabber.displays = {{QStringLiteral("screen"), QStringLiteral("screen"), QRect(0, 0, 2880, 1800)}};
        grabber.image = QImage(2880, 1800, QImage::Format_RGB32);
        grabber.image.fill(Qt::white);
    }

    Result<ScreenSnapshot> run(const std::optional<QRectF>& selection = std::nullopt, Job job = Job::start(),
                               std::optional<std::optional<ScreenContext::Display>> target = std::nullopt)
    {
        std::optional<Result<ScreenSnapshot>> result;
        ScreenContext::capture(Platform{.access = &access, .grabber = &grabber}, target.value_or(display), selection,
                               job, [&](const Result<ScreenSnapshot>& r) { result = r; });
        EXPECT_FALSE(result) << "answers arrive in a later turn";
        EXPECT_TRUE(test::waitUntil([&] { return result.has_value(); }));
        return result.value_or(Result<ScreenSnapshot>(KestraboError::message(QStringLiteral("no answer"))));
    }
};

QImage decode(const QByteArray& jpeg)
{
    QImage image;
    image.loadFromData(jpeg, "JPEG");
    return image;
}

} // namespace

TEST(SelectionGeometry, MapsPointsToPixelsFromTheLowerLeft)
{
    using SelectionGeometry::pixelRect;
    const QSizeF points(1440, 900), pixels(2880, 1800);
    EXPECT_EQ(pixelRect(QRectF(100, 100, 200, 50), points, pixels), QRectF(200, 1500, 400, 100));
    // Negative sizes are standardised; past the edge is clipped; wholly outside is nothing.
    EXPECT_EQ(pixelRect(QRectF(300, 150, -200, -50), points, pixels), QRectF(200, 1500, 400, 100));
    EXPECT_EQ(pixelRect(QRectF(1400, 850, 100, 100), points, pixels), QRectF(2800, 0, 80, 100));
    EXPECT_EQ(pixelRect(QRectF(-50, -50, 100, 100), points, pixels), QRectF(0, 1700, 100, 100));
    EXPECT_EQ(pixelRect(QRectF(1500, 100, 100, 100), points, pixels), QRectF());
    // Fractions grow to whole pixels.
    EXPECT_EQ(pixelRect(QRectF(10.25, 10, 1, 1), QSizeF(100, 100), QSizeF(100, 100)), QRectF(10, 89, 2, 1));
    EXPECT_EQ(pixelRect(QRectF(10, 10, 1, 200), QSizeF(100, 100), QSizeF(100, 100)), QRectF(10, 0, 1, 90));
    // Unusable input.
    const qreal inf = std::numeric_limits<qreal>::infinity();
    const qreal nan = std::numeric_limits<qreal>::quiet_NaN();
    EXPECT_EQ(pixelRect(QRectF(0, 0, 10, 10), QSizeF(0, 900), pixels), QRectF());
    EXPECT_EQ(pixelRect(QRectF(0, 0, 10, 10), points, QSizeF(2880, -1)), QRectF());
    EXPECT_EQ(pixelRect(QRectF(0, 0, 10, 10), QSizeF(inf, 900), pixels), QRectF());
    EXPECT_EQ(pixelRect(QRectF(nan, 0, 10, 10), points, pixels), QRectF());
    EXPECT_EQ(pixelRect(QRectF(0, 0, inf, 10), points, pixels), QRectF());
}

TEST(ScreenContext, JpegKeepsTheLongestSideWithin2048)
{
    Capture c;
    Result<ScreenSnapshot> big = c.run();
    ASSERT_TRUE(big) << big.error().description().toStdString();
    EXPECT_EQ(c.grabber.requestedSize, QSize(2880, 1800)) << "points times the display's scale";
    EXPECT_EQ(c.grabber.capturedIdentifier, QStringLiteral("screen"));
    const QImage whole = decode(big.value().jpeg);
    EXPECT_EQ(whole.size(), QSize(2048, 1280));
    EXPECT_FALSE(whole.hasAlphaChannel());
    EXPECT_FALSE(big.value().crop);
    EXPECT_EQ(big.value().displayName, QStringLiteral("Test display"));
    EXPECT_TRUE(big.value().capturedAt.isValid());

    c.display.size = QSizeF(1600, 1000);
    c.display.scale = 1;
    c.grabber.image = QImage(1600, 1000, QImage::Format_ARGB32);
    c.grabber.image.fill(Qt::transparent);
    Result<ScreenSnapshot> small = c.run();
    ASSERT_TRUE(small);
    EXPECT_EQ(decode(small.value().jpeg).size(), QSize(1600, 1000));

    c.display.size = QSizeF(1000, 3000);
    c.grabber.image = QImage(1000, 3000, QImage::Format_RGB32);
    c.grabber.image.fill(Qt::gray);
    Result<ScreenSnapshot> tall = c.run();
    ASSERT_TRUE(tall);
    EXPECT_EQ(decode(tall.value().jpeg).size(), QSize(682, 2048));
}

TEST(ScreenContext, CropIsCutFromTheFullResolutionCapture)
{
    Capture c;
    {
        QPainter painter(&c.grabber.image);
        painter.fillRect(QRect(200, 1500, 400, 100), Qt::red);
    }
    Result<ScreenSnapshot> snapshot = c.run(QRectF(100, 100, 200, 50));
    ASSERT_TRUE(snapshot);
    ASSERT_TRUE(snapshot.value().crop);
    const QImage crop = decode(*snapshot.value().crop);
    EXPECT_EQ(crop.size(), QSize(400, 100));
    const QColor centre = crop.pixelColor(200, 50);
    EXPECT_GT(centre.red(), 240);
    EXPECT_LT(centre.green(), 20);

    // Past the edge: clipped.
    snapshot = c.run(QRectF(1400, 850, 100, 100));
    ASSERT_TRUE(snapshot && snapshot.value().crop);
    EXPECT_EQ(decode(*snapshot.value().crop).size(), QSize(80, 100));
    // Wholly outside: no crop, still a capture.
    snapshot = c.run(QRectF(2000, 100, 100, 100));
    ASSERT_TRUE(snapshot);
    EXPECT_FALSE(snapshot.value().crop);
    EXPECT_FALSE(snapshot.value().jpeg.isEmpty());
    // One point wide on a 1x display is one pixel: too small to crop.
    c.display = {QStringLiteral("screen"), QStringLiteral("Test display"), QSizeF(1440, 900), 1};
    c.grabber.image = QImage(1440, 900, QImage::Format_RGB32);
    c.grabber.image.fill(Qt::white);
    snapshot = c.run(QRectF(10, 10, 1, 100));
    ASSERT_TRUE(snapshot);
    EXPECT_FALSE(snapshot.value().crop);
    // A large capture of a huge selection is bounded like the whole display.
    c.display.size = QSizeF(4000, 1000);
    c.grabber.image = QImage(4000, 1000, QImage::Format_RGB32);
    c.grabber.image.fill(Qt::white);
    snapshot = c.run(QRectF(0, 0, 3000, 1000));
    ASSERT_TRUE(snapshot && snapshot.value().crop);
    EXPECT_EQ(decode(*snapshot.value().crop).size(), QSize(2048, 682));
}

TEST(ScreenContext, PermissionGateAndDenial)
{
    Capture c;
    c.access.screenPreflight = false;

    // Nothing remembered: fails at once, the backend is never asked.
    Result<ScreenSnapshot> refused = c.run();
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error().description(), kPermission);
    EXPECT_EQ(refused.error().description().count(QChar(0x2192)), 2);
    EXPECT_EQ(c.grabber.displayRequests, 0);

    // An earlier probe or capture that worked lets it through.
    lastScreenAccess = ScreenAccessStatus::available();
    EXPECT_TRUE(c.run());
    EXPECT_EQ(lastScreenAccess, ScreenAccessStatus::available());

    // A refusal during the capture is the permission sentence and is remembered...
    c.grabber.captureError = KestraboError(QStringLiteral("Wrapper"), 1, QStringLiteral("outer")).wrapping(test::accessDenied());
    refused = c.run();
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error().description(), kPermission);
    EXPECT_EQ(lastScreenAccess, ScreenAccessStatus::denied());
    // ...so the next capture stops at the gate.
    const int requests = c.grabber.displayRequests;
    c.grabber.captureError.reset();
    EXPECT_FALSE(c.run());
    EXPECT_EQ(c.grabber.displayRequests, requests);
    // A preflight that passes clears it.
    c.access.screenPreflight = true;
    EXPECT_TRUE(c.run());
    EXPECT_EQ(lastScreenAccess, ScreenAccessStatus::available());

    // Listing the displays can be refused too.
    c.access.screenPreflight = false;
    c.grabber.displaysError = test::accessDenied();
    refused = c.run();
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error().description(), kPermission);
    EXPECT_EQ(lastScreenAccess, ScreenAccessStatus::denied());
}

TEST(ScreenContext, DisplayProblemsAndCancellation)
{
    Capture c;
    Result<ScreenSnapshot> result = c.run(std::nullopt, Job::start(), std::optional<ScreenContext::Display>());
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error().description(), QStringLiteral("The current display is unavailable."));

    c.display.identifier = QStringLiteral("HDMI-2");
    result = c.run();
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error().description(), QStringLiteral("The display disconnected. Try again on your current display."));

    // A screen without a name: fine with one display, ambiguous with two.
    c.display.identifier.clear();
    EXPECT_TRUE(c.run());
    EXPECT_EQ(c.grabber.capturedIdentifier, QStringLiteral("screen"));
    c.grabber.displays.append({QStringLiteral("HDMI-1"), QStringLiteral("HDMI-1"), QRect(2880, 0, 1920, 1080)});
    result = c.run();
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error().description(), QStringLiteral("The current display is unavailable."));
    c.display.identifier = QStringLiteral("screen");

    // Other backend errors pass unchanged, and nothing is remembered about access.
    lastScreenAccess.reset();
    c.grabber.captureError = KestraboError(ScreenCaptureError::domain, ScreenCaptureError::readFailed, QStringLiteral("read"));
    result = c.run();
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error(), *c.grabber.captureError);
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
    ASSERT_FALSE(*answer);
    EXPECT_TRUE(answer->error().isCancellation());
    EXPECT_EQ(c.grabber.captureRequests, captures);

    // No backend at all: no display to capture.
    std::optional<Result<ScreenSnapshot>> none;
    ScreenContext::capture(Platform{.access = &c.access}, c.display, std::nullopt, Job::start(),
                           [&](const Result<ScreenSnapshot>& r) { none = r; });
    ASSERT_TRUE(test::waitUntil([&] { return none.has_value(); }));
    ASSERT_FALSE(*none);
    EXPECT_EQ(none->error().description(), QStringLiteral("The current display is unavailable."));
}
