#include "support/XFixture.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QProcessEnvironment>
#include <QThread>

#include <cstdio>
#include <cstdlib>
#include <poll.h>
#include <unistd.h>

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

namespace kestrabo::test {

namespace {

constexpr const char* kHelperVariable = "KESTRABO_TEST_X_WINDOW";

void setPid(Display* display, Window window, long pid)
{
    const Atom property = XInternAtom(display, "_NET_WM_PID", False);
    XChangeProperty(display, window, property, XA_CARDINAL, 32, PropModeReplace,
                    reinterpret_cast<unsigned char*>(&pid), 1);
}

Window createWindow(Display* display, const QRect& rect, QRgb colour)
{
    XSetWindowAttributes attributes{};
    attributes.background_pixel = colour & 0xffffff;
    attributes.border_pixel = 0;
    const Window window = XCreateWindow(display, DefaultRootWindow(display), rect.x(), rect.y(), unsigned(rect.width()),
                                        unsigned(rect.height()), 0, CopyFromParent, InputOutput, CopyFromParent,
                                        CWBackPixel | CWBorderPixel, &attributes);
    // Without a window manager the requested position holds.
    XMapRaised(display, window);
    return window;
}

// The helper process: "display;x,y,w,h;rgb" in the environment. Shows the window until
// standard input closes or the test stops it.
[[noreturn]] void runForeignWindow(const QByteArray& specification)
{
    const QList<QByteArray> parts = specification.split(';');
    const QList<QByteArray> numbers = parts.value(1).split(',');
    Display* display = XOpenDisplay(parts.value(0).constData());
    if (!display || numbers.size() != 4)
        _exit(2);
    const QRect rect(numbers[0].toInt(), numbers[1].toInt(), numbers[2].toInt(), numbers[3].toInt());
    const Window window = createWindow(display, rect, parts.value(2).toUInt(nullptr, 16));
    setPid(display, window, long(getpid()));
    XSelectInput(display, window, ExposureMask);
    XSync(display, False);
    std::printf("ready\n");
    std::fflush(stdout);
    // Like any client, repaint what is exposed (a capture backend redirecting the window
    // exposes all of it).
    pollfd sources[2] = {{ConnectionNumber(display), POLLIN, 0}, {0, POLLIN, 0}};
    for (;;) {
        while (XPending(display)) {
            XEvent event;
            XNextEvent(display, &event);
            if (event.type == Expose)
                XClearArea(display, window, event.xexpose.x, event.xexpose.y, unsigned(event.xexpose.width),
                           unsigned(event.xexpose.height), False);
        }
        XFlush(display);
        if (poll(sources, 2, -1) < 0)
            _exit(3);
        if (sources[1].revents) {
            char buffer[64];
            if (read(0, buffer, sizeof buffer) <= 0)
                _exit(0);
        }
    }
}

const bool g_helper = [] {
    const QByteArray specification = qgetenv(kHelperVariable);
    if (!specification.isEmpty())
        runForeignWindow(specification);
    return false;
}();

bool waitForLine(QProcess& process, int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    while (!process.canReadLine()) {
        if (deadline.hasExpired() || process.state() == QProcess::NotRunning)
            return false;
        process.waitForReadyRead(50);
    }
    return true;
}

} // namespace

QString Xvfb::start(QSize size, bool composite)
{
    const QString screen = QStringLiteral("%1x%2x24").arg(size.width()).arg(size.height());
    // -displayfd 1: Xvfb picks a free display number and writes it to our pipe when ready.
    m_process.setProgram(QStringLiteral("Xvfb"));
    m_process.setArguments({QStringLiteral("-displayfd"), QStringLiteral("1"), QStringLiteral("-screen"),
                            QStringLiteral("0"), screen, composite ? QStringLiteral("+extension") : QStringLiteral("-extension"),
                            QStringLiteral("Composite"), QStringLiteral("-nolisten"), QStringLiteral("tcp"),
                            QStringLiteral("-noreset")});
    m_process.setProcessChannelMode(QProcess::SeparateChannels);
    m_process.setStandardErrorFile(QProcess::nullDevice());
    m_process.start();
    if (!m_process.waitForStarted(5'000))
        return QStringLiteral("Xvfb did not start: ") + m_process.errorString();
    if (!waitForLine(m_process, 15'000)) {
        stop();
        return QStringLiteral("Xvfb reported no display number");
    }
    m_display = ':' + m_process.readLine().trimmed();
    return QString();
}

void Xvfb::stop()
{
    if (m_process.state() == QProcess::NotRunning)
        return;
    m_process.terminate(); // SIGTERM to our own child, by its PID
    if (!m_process.waitForFinished(5'000)) {
        m_process.kill();
        m_process.waitForFinished(5'000);
    }
}

struct XWindows::State {
    Display* display = nullptr;
};

XWindows::XWindows(const QByteArray& display) : m_state(std::make_unique<State>())
{
    m_state->display = XOpenDisplay(display.constData());
}

XWindows::~XWindows()
{
    if (m_state->display)
        XCloseDisplay(m_state->display);
}

bool XWindows::isOpen() const { return m_state->display != nullptr; }

quint64 XWindows::create(const QRect& rect, QRgb colour, bool ours)
{
    Display* display = m_state->display;
    const Window window = createWindow(display, rect, colour);
    if (ours)
        setPid(display, window, long(getpid()));
    XSync(display, False);
    return window;
}

void XWindows::paint(quint64 window, const QImage& source)
{
    Display* display = m_state->display;
    QImage image = source.convertToFormat(QImage::Format_RGB32);
    XImage* ximage = XCreateImage(display, DefaultVisual(display, DefaultScreen(display)), 24, ZPixmap, 0,
                                  reinterpret_cast<char*>(image.bits()), unsigned(image.width()),
                                  unsigned(image.height()), 32, int(image.bytesPerLine()));
    // Tiled writes keep each request under the server's size limit.
    const GC gc = XCreateGC(display, window, 0, nullptr);
    constexpr int kBand = 64;
    for (int y = 0; y < image.height(); y += kBand)
        XPutImage(display, window, gc, ximage, 0, y, 0, y, unsigned(image.width()),
                  unsigned(std::min(kBand, image.height() - y)));
    XFreeGC(display, gc);
    ximage->data = nullptr;
    XDestroyImage(ximage);
    XSync(display, False);
}

void XWindows::warpPointer(QPoint position)
{
    Display* display = m_state->display;
    XWarpPointer(display, 0, DefaultRootWindow(display), 0, 0, 0, 0, position.x(), position.y());
    XSync(display, False);
}

void XWindows::sync() { XSync(m_state->display, False); }

bool ForeignWindow::start(const QByteArray& display, const QRect& rect, QRgb colour)
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QLatin1String(kHelperVariable), QStringLiteral("%1;%2,%3,%4,%5;%6")
                                                           .arg(QString::fromLatin1(display))
                                                           .arg(rect.x())
                                                           .arg(rect.y())
                                                           .arg(rect.width())
                                                           .arg(rect.height())
                                                           .arg(colour & 0xffffff, 6, 16, QLatin1Char('0')));
    m_process.setProcessEnvironment(environment);
    m_process.setProgram(QCoreApplication::applicationFilePath());
    m_process.start();
    return m_process.waitForStarted(5'000) && waitForLine(m_process, 10'000);
}

void ForeignWindow::stop()
{
    if (m_process.state() == QProcess::NotRunning)
        return;
    m_process.kill();
    m_process.waitForFinished(5'000);
}

} // namespace kestrabo::test
