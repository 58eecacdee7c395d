#include "support/XFixture.h"

#include "platform/linux/X11KeySource.h"
#include "platform/linux/X11ScreenGrabber.h"
#include "support/TestSupport.h"
#include "platform/HostSystem.h"
#include "platform/StaticSystemAccess.h"
#include "system/Permissions.h"

#include <QDir>
#include <QGuiApplication>
#include <QProcess>
#include <QScreen>

#include <gtest/gtest.h>

#include <cstdio>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <thread>

using namespace kestrabo;
using namespace Qt::StringLiterals;

namespace {

constexpr QRgb kRed = 0xffd02020; // the other process's window
constexpr QRgb kBlue = 0xff2040e0; // our window, marked with our process id
constexpr QRgb kGreen = 0xff20c040; // our window, known only by its id

template <class T> Result<T> await(const std::function<void(std::function<void(Result<T>)>)>& start)
{
    std::optional<Result<T>> result;
    start([&](const Result<T>& r) { result = r; });
    EXPECT_TRUE(test::waitUntil([&] { return result.has_value(); }, 20'000));
    return result.value_or(Result<T>(KestraboError::message(u"no answer"_s)));
}

Result<QImage> grab(X11ScreenGrabber& grabber, const QString& identifier, QSize size)
{
    return await<QImage>([&](auto done) { grabber.capture(identifier, size, done); });
}

QString firstDisplay(X11ScreenGrabber& grabber)
{
    const auto displays = await<QList<ShareableDisplay>>([&](auto done) { grabber.shareableDisplays(done); });
    return displays && displays.value().size() == 1 ? displays.value().first().identifier : QString();
}

int countPixels(const QImage& image, QRgb colour)
{
    int count = 0;
    for (int y = 0; y < image.height(); ++y) {
        const auto* line = reinterpret_cast<const QRgb*>(image.constScanLine(y));
        count +=
            int(std::count_if(line, line + image.width(), [colour](QRgb p) { return (p | 0xff000000) == colour; }));
    }
    return count;
}

// Run as a helper (this executable again, on the xcb platform): prints the toolkit's screens
// of the display named in KESTRABO_TEST_QT_SCREENS, one "name geometry" line each.
const bool g_screenHelper = [] {
    const QByteArray display = qgetenv("KESTRABO_TEST_QT_SCREENS");
    if (display.isEmpty())
        return false;
    qputenv("DISPLAY", display);
    qputenv("QT_QPA_PLATFORM", "xcb");
    static int argc = 1;
    static char name[] = "screens";
    static char* argv[] = {name, nullptr};
    QGuiApplication app(argc, argv);
    for (QScreen* screen : QGuiApplication::screens()) {
        const QRect g = screen->geometry();
        std::printf("%s %d,%d,%d,%d\n", qPrintable(screen->name()), g.x(), g.y(), g.width(), g.height());
    }
    std::fflush(stdout);
    _exit(0);
}();

} // namespace

// The capture backend finds a display by the name the toolkit gives its screen, so both must
// name the monitors of a real X server alike.
TEST(X11Capture, TheToolkitsScreenNamesAreTheGrabbersDisplays)
{
    test::Xvfb xvfb;
    ASSERT_EQ(xvfb.start(QSize(1280, 800)), QString());
    test::XWindows windows(xvfb.display());
    ASSERT_TRUE(windows.isOpen());
    windows.addMonitor("LEFT-1", QRect(0, 0, 640, 800));
    windows.addMonitor("RIGHT-1", QRect(640, 0, 640, 800));
    QProcess helper;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("KESTRABO_TEST_QT_SCREENS", QString::fromLatin1(xvfb.display()));
    environment.insert("XDG_RUNTIME_DIR", QDir::tempPath());
    helper.setProcessEnvironment(environment);
    helper.start(QCoreApplication::applicationFilePath());
    ASSERT_TRUE(helper.waitForFinished(20'000));
    QStringList toolkit = QString::fromLocal8Bit(helper.readAllStandardOutput()).split('\n', Qt::SkipEmptyParts);

    X11ScreenGrabber grabber(xvfb.display());
    const auto displays = await<QList<ShareableDisplay>>([&](auto done) { grabber.shareableDisplays(done); });
    ASSERT_TRUE(displays);
    QStringList grabbed;
    for (const ShareableDisplay& display : displays.value()) {
        const QRect g = display.geometry;
        grabbed.append(
            u"%1 %2,%3,%4,%5"_s.arg(display.identifier).arg(g.x()).arg(g.y()).arg(g.width()).arg(g.height()));
    }
    ASSERT_EQ(toolkit.size(), 3) << toolkit.join(" | ").toStdString(); // the server's output and both monitors
    toolkit.sort();
    grabbed.sort();
    EXPECT_EQ(toolkit, grabbed);
    EXPECT_FALSE(toolkit.first().startsWith(' ')) << "every screen has a name";
}

// Where ours covers another window, that window shows; nothing of ours and no pointer is drawn.
// Windows are redirected only while a capture has ours to leave out, and shared memory the
// server refuses is no refusal of the pixels.
TEST(X11Capture, LeavesOutOurWindowsAndThePointerAndRedirectsOnlyWhileCapturing)
{
    test::Xvfb xvfb;
    ASSERT_EQ(xvfb.start(), QString());
    test::XWindows ours(xvfb.display());
    ASSERT_TRUE(ours.isOpen());
    ours.createForeign(QRect(100, 100, 1200, 800), kRed);
    // A window of no one's that ours partly covers, as ours partly covers the other process's.
    const quint64 plain = ours.create(QRect(1400, 1000, 300, 200), kRed, false);
    ours.create(QRect(600, 400, 1000, 700), kBlue, true);
    const quint64 anonymous = ours.create(QRect(2000, 1000, 400, 300), kGreen, false);
    ours.warpPointer(QPoint(300, 300)); // over the other window, where nothing of ours is
    ours.sync();

    X11ScreenGrabber grabber(xvfb.display());
    grabber.ownWindows = [anonymous] { return QList<quint64>{anonymous}; };
    EXPECT_TRUE(grabber.preflight());
    const QString identifier = firstDisplay(grabber);
    ASSERT_FALSE(identifier.isEmpty());
    EXPECT_FALSE(ours.isRedirected(plain)) << "nothing redirected before a capture";
    Result<QImage> captured = grab(grabber, identifier, QSize(2880, 1800));
    ASSERT_TRUE(captured) << captured.error().description().toStdString();
    const QImage image = captured.value().convertToFormat(QImage::Format_RGB32);
    ASSERT_EQ(image.size(), QSize(2880, 1800));
    EXPECT_TRUE(grabber.lastReadUsedSharedMemory());
    EXPECT_EQ(image.pixel(1299, 899) | 0xff000000, kRed);
    EXPECT_EQ(countPixels(image, kBlue), 0);
    EXPECT_EQ(countPixels(image, kGreen), 0);
    EXPECT_EQ(countPixels(image, kRed), 1200 * 800 + 300 * 200);
    EXPECT_FALSE(ours.isRedirected(plain)) << "released after the capture";

    grabber.refuseSharedMemoryWrites();
    captured = grab(grabber, identifier, QSize(1440, 900));
    ASSERT_TRUE(captured) << captured.error().description().toStdString();
    EXPECT_FALSE(grabber.lastReadUsedSharedMemory());
    EXPECT_EQ(captured.value().size(), QSize(1440, 900)) << "scaled when asked";
    EXPECT_EQ(countPixels(captured.value(), kGreen), 0);
    EXPECT_TRUE(grabber.preflight());
}

// Under Wayland, without the display, or without Composite there is no capture, and no denial.
TEST(X11Capture, WaylandAVanishedDisplayOrNoCompositeCaptureNothing)
{
    test::Xvfb xvfb;
    ASSERT_EQ(xvfb.start(QSize(640, 480)), QString());
    {
        const QByteArray saved = qgetenv("WAYLAND_DISPLAY");
        qputenv("WAYLAND_DISPLAY", "wayland-0");
        X11ScreenGrabber grabber(xvfb.display());
        const QString sentence = QString::fromUtf8(host::waylandScreenUnavailable);
        EXPECT_FALSE(grabber.preflight());
        EXPECT_EQ(grab(grabber, u"screen"_s, QSize(640, 480)).error().description(), sentence);
        std::optional<ScreenAccessStatus> status;
        StaticSystemAccess access;
        access.screenPreflight = true;
        Permissions::checkScreenAccess(true, access, &grabber, [&](const ScreenAccessStatus& s) { status = s; });
        ASSERT_TRUE(test::waitUntil([&] { return status.has_value(); }));
        EXPECT_EQ(*status, ScreenAccessStatus::unavailable(sentence));
        saved.isNull() ? qunsetenv("WAYLAND_DISPLAY") : qputenv("WAYLAND_DISPLAY", saved);
    }
    X11ScreenGrabber grabber(xvfb.display());
    const QString identifier = firstDisplay(grabber);
    ASSERT_FALSE(identifier.isEmpty());
    EXPECT_EQ(grab(grabber, u"no-such-monitor"_s, QSize(100, 100)).error().code(),
              ScreenCaptureError::displayDisconnected);

    // Chosen, then gone before the capture; afterwards there is no display, and no denial.
    xvfb.stop();
    Result<QImage> gone = grab(grabber, identifier, QSize(640, 480));
    ASSERT_FALSE(gone);
    EXPECT_EQ(gone.error().domain(), QLatin1String(ScreenCaptureError::domain));
    EXPECT_EQ(gone.error().description(), u"The display disconnected. Try again on your current display."_s);
    // The preflight answers from the worker's last look and has it look again.
    EXPECT_TRUE(test::waitUntil([&] { return !grabber.preflight(); }));
    std::optional<ScreenAccessStatus> status;
    Permissions::probeScreenAccess(grabber, [&](const ScreenAccessStatus& s) { status = s; });
    ASSERT_TRUE(test::waitUntil([&] { return status.has_value(); }));
    EXPECT_TRUE(status->isUnavailable());

    // Without Composite, our windows could not be left out: no capture, and no denial either.
    ASSERT_EQ(xvfb.start(QSize(640, 480), false), QString());
    X11ScreenGrabber plain(xvfb.display());
    EXPECT_FALSE(plain.preflight());
    const auto displays = await<QList<ShareableDisplay>>([&](auto done) { plain.shareableDisplays(done); });
    ASSERT_FALSE(displays);
    EXPECT_EQ(displays.error().code(), ScreenCaptureError::compositeMissing);
    EXPECT_FALSE(Permissions::isScreenAccessDenied(displays.error()));
}

// At launch the grabber's worker opens its connection while the main thread opens and closes
// short-lived ones (the key listener's access check). Xlib keeps some extension records for the
// whole process and drops them with the last connection that used them, so connections coming
// and going on two threads must not tread on each other there (it corrupted the heap at launch).
TEST(X11Capture, ConnectionsComeAndGoOnTwoThreadsAtOnce)
{
    test::Xvfb xvfb;
    ASSERT_EQ(xvfb.start(QSize(320, 240)), QString());
    std::atomic<bool> done{false};
    std::atomic<int> checks{0};
    std::thread keys([&] {
        X11KeySource source(xvfb.display());
        while (!done) {
            EXPECT_TRUE(source.listenAccess());
            ++checks;
        }
    });
    for (int i = 0; i < 150; ++i) {
        X11ScreenGrabber grabber(xvfb.display());
        EXPECT_TRUE(grabber.preflight());
    }
    done = true;
    keys.join();
    EXPECT_GT(checks, 0);
}
