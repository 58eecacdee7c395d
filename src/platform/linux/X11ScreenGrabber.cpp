#include "platform/linux/X11ScreenGrabber.h"

#include "core/Job.h"
#include "platform/HostSystem.h"

#include <QElapsedTimer>
#include <QGuiApplication>
#include <QHash>
#include <QPainter>
#include <QRegion>
#include <QSet>
#include <QWindow>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>

#include <sys/ipc.h>
#include <sys/shm.h>
#include <unistd.h>

// Xlib last: its macros (None, Bool, Status, …) would clash with the headers above.
#include "platform/linux/XlibConnection.h"
#include <X11/Xatom.h>
#include <X11/Xutil.h>
#include <X11/extensions/XShm.h>
#include <X11/extensions/Xcomposite.h>
#include <X11/extensions/Xrandr.h>

namespace kestrabo {

namespace {

// Windows need a moment to repaint into their new off-screen storage after being redirected.
constexpr qint64 kSettleAfterRedirectMs = 150;
// Below this many pixels a plain read is as quick as setting up shared memory.
constexpr qint64 kSharedMemoryMinPixels = 64 * 1024;
// How deep below a window manager's frame the client window is searched for.
constexpr int kClientSearchDepth = 3;
// How long the very first preflight waits for the worker's first look at the display.
constexpr int kFirstLookWaitMs = 500;

KestraboError captureError(ScreenCaptureError::Code code)
{
    switch (code) {
    case ScreenCaptureError::unreachable:
        return KestraboError(ScreenCaptureError::domain, code,
                             QStringLiteral("Screen capture needs an X11 display, and none is reachable."));
    case ScreenCaptureError::compositeMissing:
        return KestraboError(ScreenCaptureError::domain, code,
                             QStringLiteral("Screen capture needs the X Composite extension, which this display lacks."));
    case ScreenCaptureError::accessDenied:
        return KestraboError(ScreenCaptureError::domain, code,
                             QStringLiteral("The X server refused Kestrabo access to the screen contents."));
    case ScreenCaptureError::displayDisconnected:
        return KestraboError(ScreenCaptureError::domain, code,
                             QStringLiteral("The display disconnected. Try again on your current display."));
    case ScreenCaptureError::unsupportedSession:
        return KestraboError(ScreenCaptureError::domain, code, QString::fromUtf8(host::waylandScreenUnavailable));
    case ScreenCaptureError::readFailed:
        break;
    }
    return KestraboError(ScreenCaptureError::domain, ScreenCaptureError::readFailed,
                         QStringLiteral("The screen could not be read. Please retry."));
}

using xlib::closeDisplay;
using xlib::ErrorTrap;
using xlib::openDisplay;

bool hasComposite(Display* display)
{
    int eventBase = 0, errorBase = 0, major = 0, minor = 0;
    if (!XCompositeQueryExtension(display, &eventBase, &errorBase))
        return false;
    // Naming a window's pixmap arrived with 0.2.
    return XCompositeQueryVersion(display, &major, &minor) && (major > 0 || minor >= 2);
}

// --- pixels ----------------------------------------------------------------------------------

int shiftOf(unsigned long mask)
{
    int shift = 0;
    while (mask && !(mask & 1)) {
        mask >>= 1;
        ++shift;
    }
    return shift;
}

int channel(unsigned long pixel, unsigned long mask)
{
    if (!mask)
        return 0;
    const unsigned long value = (pixel & mask) >> shiftOf(mask);
    const unsigned long maximum = mask >> shiftOf(mask);
    return int(value * 255 / maximum);
}

// A deep copy; opaque pixels unless the drawable carries alpha. The channel masks come from the
// visual: images read from a pixmap carry none.
QImage toQImage(XImage* image, const Visual* visual, bool withAlpha)
{
    const unsigned long redMask = visual ? visual->red_mask : image->red_mask;
    const unsigned long greenMask = visual ? visual->green_mask : image->green_mask;
    const unsigned long blueMask = visual ? visual->blue_mask : image->blue_mask;
    const int width = image->width;
    const int height = image->height;
    QImage result(width, height, withAlpha ? QImage::Format_ARGB32_Premultiplied : QImage::Format_RGB32);
    if (result.isNull())
        return result;
    const bool native = image->bits_per_pixel == 32 && redMask == 0xff0000 && greenMask == 0xff00 && blueMask == 0xff
        && image->byte_order == (QSysInfo::ByteOrder == QSysInfo::LittleEndian ? LSBFirst : MSBFirst);
    if (native) {
        const quint32 opaque = withAlpha ? 0 : 0xff000000u;
        for (int y = 0; y < height; ++y) {
            const auto* source = reinterpret_cast<const quint32*>(image->data + qsizetype(y) * image->bytes_per_line);
            auto* target = reinterpret_cast<quint32*>(result.scanLine(y));
            for (int x = 0; x < width; ++x)
                target[x] = source[x] | opaque;
        }
        return result;
    }
    for (int y = 0; y < height; ++y) {
        auto* target = reinterpret_cast<QRgb*>(result.scanLine(y));
        for (int x = 0; x < width; ++x) {
            const unsigned long pixel = XGetPixel(image, x, y);
            target[x] = qRgb(channel(pixel, redMask), channel(pixel, greenMask), channel(pixel, blueMask));
        }
    }
    return result;
}

QString atomName(Display* display, Atom atom)
{
    char* name = XGetAtomName(display, atom);
    if (!name)
        return QString();
    QString text = QString::fromUtf8(name);
    XFree(name);
    return text;
}

} // namespace

// --- the worker's connection ------------------------------------------------------------------

struct X11ScreenGrabber::Connection {
    QByteArray name;
    Display* display = nullptr;
    std::atomic<bool> lost{false};
    bool everConnected = false;
    Window root = 0;
    std::atomic<bool> lastReadShared{false};
    std::atomic<bool> redirecting{false};
    bool readOnlySegment = false;

    // What the last look found: -1 not looked yet, 0 no capture possible, 1 possible.
    std::atomic<int> usable{-1};
    std::mutex usableLock;
    std::condition_variable usableKnown;

    bool sharedMemory = false;
    XShmSegmentInfo segment{};
    size_t segmentBytes = 0;

    Atom netWmPid = 0;
    Atom wmState = 0;
    Atom wmClientMachine = 0;
    QByteArray hostName;

    ~Connection() { close(); }

    void close()
    {
        releaseSegment();
        closeDisplay(display);
        display = nullptr;
    }

    KestraboError lostError() const
    {
        return captureError(everConnected ? ScreenCaptureError::displayDisconnected : ScreenCaptureError::unreachable);
    }

    std::optional<KestraboError> ensure()
    {
        if (display && !lost)
            return std::nullopt;
        if (display) {
            // A server that went away is reported once as a disconnection; the next request
            // tries a new connection.
            close();
            lost = false;
            return captureError(ScreenCaptureError::displayDisconnected);
        }
        lost = false;
        display = openDisplay(name, &lost);
        if (!display)
            return captureError(ScreenCaptureError::unreachable);
        if (!hasComposite(display)) {
            close();
            return captureError(ScreenCaptureError::compositeMissing);
        }
        everConnected = true;
        root = DefaultRootWindow(display);
        netWmPid = XInternAtom(display, "_NET_WM_PID", False);
        wmState = XInternAtom(display, "WM_STATE", False);
        wmClientMachine = XInternAtom(display, "WM_CLIENT_MACHINE", False);
        char host[256] = {};
        if (gethostname(host, sizeof host - 1) == 0)
            hostName = QByteArray(host);
        int major = 0, minor = 0;
        Bool pixmaps = False;
        sharedMemory = XShmQueryVersion(display, &major, &minor, &pixmaps);
        return std::nullopt;
    }

    void record(bool possible)
    {
        {
            std::lock_guard lock(usableLock);
            usable = possible ? 1 : 0;
        }
        usableKnown.notify_all();
    }

    // Records what a result says about capturing at all; a missing monitor says nothing.
    template <class T>
    void record(const Result<T>& result)
    {
        if (result) {
            record(true);
            return;
        }
        const long long code = result.error().code();
        if (code == ScreenCaptureError::unreachable || code == ScreenCaptureError::compositeMissing
            || code == ScreenCaptureError::accessDenied)
            record(false);
    }

    // Automatic redirection keeps the screen as it was while every top-level window also gets
    // storage of its own, which windows need a moment to repaint into. It is released when the
    // capture is done (and would end with this connection in any case).
    void redirect()
    {
        ErrorTrap trap(display);
        XCompositeRedirectSubwindows(display, root, CompositeRedirectAutomatic);
        XSync(display, False);
        redirecting = true;
        QThread::msleep(static_cast<unsigned long>(kSettleAfterRedirectMs));
    }

    void unredirect()
    {
        if (!redirecting)
            return;
        redirecting = false;
        if (!display || lost)
            return;
        ErrorTrap trap(display);
        XCompositeUnredirectSubwindows(display, root, CompositeRedirectAutomatic);
        XSync(display, False);
    }

    void releaseSegment()
    {
        if (!segmentBytes)
            return;
        if (display && !lost) {
            XShmDetach(display, &segment);
            XSync(display, False);
        }
        shmdt(segment.shmaddr);
        segment = XShmSegmentInfo{};
        segmentBytes = 0;
    }

    bool ensureSegment(size_t bytes)
    {
        if (segmentBytes >= bytes)
            return true;
        releaseSegment();
        const int id = shmget(IPC_PRIVATE, bytes, IPC_CREAT | 0600);
        if (id < 0)
            return false;
        void* address = shmat(id, nullptr, 0);
        if (address == reinterpret_cast<void*>(-1)) {
            shmctl(id, IPC_RMID, nullptr);
            return false;
        }
        segment.shmid = id;
        segment.shmaddr = static_cast<char*>(address);
        segment.readOnly = readOnlySegment ? True : False;
        ErrorTrap trap(display);
        const bool attached = XShmAttach(display, &segment) && (XSync(display, False), trap.code == 0);
        // Marked for removal at once: it disappears with our last detach, even after a crash.
        shmctl(id, IPC_RMID, nullptr);
        if (!attached) {
            shmdt(segment.shmaddr);
            segment = XShmSegmentInfo{};
            return false;
        }
        segmentBytes = bytes;
        return true;
    }

    // Reads part of a window or pixmap. Large reads go through shared memory, which is many
    // times quicker than sending the pixels over the socket.
    Result<QImage> read(Drawable drawable, Visual* visual, int depth, const QRect& rect, bool* shared = nullptr)
    {
        const bool withAlpha = depth == 32;
        if (shared)
            *shared = false;
        if (sharedMemory && qint64(rect.width()) * rect.height() >= kSharedMemoryMinPixels) {
            XImage* image = XShmCreateImage(display, visual, unsigned(depth), ZPixmap, nullptr, &segment,
                                            unsigned(rect.width()), unsigned(rect.height()));
            if (image) {
                const size_t bytes = size_t(image->bytes_per_line) * size_t(image->height);
                if (ensureSegment(bytes)) {
                    image->data = segment.shmaddr;
                    ErrorTrap trap(display);
                    const bool ok = XShmGetImage(display, drawable, image, rect.x(), rect.y(), AllPlanes);
                    XSync(display, False);
                    if (ok && !trap.code && !lost) {
                        QImage result = toQImage(image, visual, withAlpha);
                        image->data = nullptr;
                        XDestroyImage(image);
                        if (shared)
                            *shared = true;
                        return result;
                    }
                    image->data = nullptr;
                    XDestroyImage(image);
                    if (lost)
                        return lostError();
                    // BadAccess here is the server refusing our segment, not the user refusing
                    // the pixels: like any other failure of shared memory itself, read plainly
                    // from now on, and let that read decide.
                    if (trap.code != BadMatch && trap.code != BadDrawable && trap.code != BadWindow
                        && trap.code != BadPixmap)
                        sharedMemory = false;
                    else
                        return captureError(ScreenCaptureError::readFailed);
                } else {
                    XDestroyImage(image);
                    sharedMemory = false;
                }
            }
        }
        ErrorTrap trap(display);
        XImage* image = XGetImage(display, drawable, rect.x(), rect.y(), unsigned(rect.width()),
                                  unsigned(rect.height()), AllPlanes, ZPixmap);
        XSync(display, False);
        if (lost) {
            if (image)
                XDestroyImage(image);
            return lostError();
        }
        if (!image)
            return captureError(trap.code == BadAccess ? ScreenCaptureError::accessDenied : ScreenCaptureError::readFailed);
        QImage result = toQImage(image, visual, withAlpha);
        XDestroyImage(image);
        return result;
    }

    // RandR monitors, as the toolkit names its screens; the whole screen when there are none.
    QList<ShareableDisplay> monitors()
    {
        QList<ShareableDisplay> result;
        int eventBase = 0, errorBase = 0, major = 0, minor = 0;
        if (XRRQueryExtension(display, &eventBase, &errorBase) && XRRQueryVersion(display, &major, &minor)
            && (major > 1 || (major == 1 && minor >= 5))) {
            int count = 0;
            XRRMonitorInfo* list = XRRGetMonitors(display, root, True, &count);
            for (int i = 0; list && i < count; ++i) {
                const QString monitorName = atomName(display, list[i].name);
                result.append({monitorName, monitorName,
                               QRect(list[i].x, list[i].y, list[i].width, list[i].height)});
            }
            if (list)
                XRRFreeMonitors(list);
        }
        if (result.isEmpty()) {
            QByteArray server = DisplayString(display);
            const int dot = server.lastIndexOf('.');
            const int colon = server.lastIndexOf(':');
            if (dot > colon)
                server.truncate(dot);
            const QString identifier = QString::fromLocal8Bit(server) + u'.' + QString::number(DefaultScreen(display));
            result.append({identifier, identifier,
                           QRect(0, 0, DisplayWidth(display, DefaultScreen(display)),
                                 DisplayHeight(display, DefaultScreen(display)))});
        }
        return result;
    }

    Result<QList<ShareableDisplay>> shareableDisplays()
    {
        Result<QList<ShareableDisplay>> result = findDisplays();
        record(result);
        return result;
    }

    Result<QList<ShareableDisplay>> findDisplays()
    {
        if (auto failure = ensure())
            return *failure;
        // A round trip finds a server that went away since the last request.
        XSync(display, False);
        if (lost)
            return lostError();
        const QList<ShareableDisplay> list = monitors();
        if (lost)
            return lostError();
        // A client the server does not trust is refused the pixels: find out before promising.
        if (!list.isEmpty()) {
            Result<QImage> probe = read(root, DefaultVisual(display, DefaultScreen(display)),
                                        DefaultDepth(display, DefaultScreen(display)), QRect(0, 0, 1, 1));
            if (!probe)
                return probe.error();
        }
        return list;
    }

    bool hasOurPid(Window window)
    {
        Atom type = 0;
        int format = 0;
        unsigned long count = 0, remaining = 0;
        unsigned char* data = nullptr;
        bool ours = false;
        if (XGetWindowProperty(display, window, netWmPid, 0, 1, False, XA_CARDINAL, &type, &format, &count,
                               &remaining, &data) == Success
            && data && format == 32 && count == 1) {
            ours = *reinterpret_cast<unsigned long*>(data) == static_cast<unsigned long>(getpid());
        }
        if (data)
            XFree(data);
        if (!ours)
            return false;
        // A process id means nothing for a window from another machine.
        XTextProperty machine{};
        if (XGetTextProperty(display, window, &machine, wmClientMachine) && machine.value) {
            const QByteArray text(reinterpret_cast<const char*>(machine.value), int(machine.nitems));
            XFree(machine.value);
            return hostName.isEmpty() || text == hostName;
        }
        return true;
    }

    bool hasProperty(Window window, Atom property)
    {
        int count = 0;
        Atom* list = XListProperties(display, window, &count);
        bool found = false;
        for (int i = 0; list && i < count; ++i)
            found = found || list[i] == property;
        if (list)
            XFree(list);
        return found;
    }

    // The application's window inside a window manager's frame (the one with WM_STATE).
    Window clientOf(Window frame, int depth = 0)
    {
        if (hasProperty(frame, wmState))
            return frame;
        if (depth >= kClientSearchDepth)
            return 0;
        Window rootReturn = 0, parent = 0;
        Window* children = nullptr;
        unsigned int count = 0;
        Window found = 0;
        if (XQueryTree(display, frame, &rootReturn, &parent, &children, &count)) {
            for (unsigned int i = count; i > 0 && !found; --i)
                found = clientOf(children[i - 1], depth + 1);
        }
        if (children)
            XFree(children);
        return found;
    }

    bool isOwn(Window window, const QSet<quint64>& ownIds)
    {
        if (ownIds.contains(window) || hasOurPid(window))
            return true;
        const Window client = clientOf(window);
        return client && client != window && (ownIds.contains(client) || hasOurPid(client));
    }

    struct TopLevel {
        Window window;
        QRect rect;
        Visual* visual;
        int depth;
    };

    Result<QImage> grab(const QString& identifier, QSize pixelSize, const QSet<quint64>& ownIds)
    {
        Result<QImage> result = grabArea(identifier, pixelSize, ownIds);
        unredirect();
        record(result);
        return result;
    }

    Result<QImage> grabArea(const QString& identifier, QSize pixelSize, const QSet<quint64>& ownIds)
    {
        if (auto failure = ensure())
            return *failure;
        QRect area;
        for (const ShareableDisplay& monitor : monitors()) {
            if (monitor.identifier == identifier)
                area = monitor.geometry;
        }
        if (lost)
            return lostError();
        if (area.isEmpty())
            return captureError(ScreenCaptureError::displayDisconnected);

        Result<QImage> composed = compose(area, ownIds);
        if (!composed)
            return composed;
        QImage image = std::move(composed).value();
        if (pixelSize.isValid() && !pixelSize.isEmpty() && pixelSize != image.size())
            image = image.scaled(pixelSize, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
        return image;
    }

    // The screen as X shows it, with our windows' areas rebuilt from the other windows' own
    // contents in stacking order (over black, where nothing else is).
    Result<QImage> compose(const QRect& area, const QSet<quint64>& ownIds)
    {
        Window rootReturn = 0, parent = 0;
        Window* children = nullptr;
        unsigned int count = 0;
        if (!XQueryTree(display, root, &rootReturn, &parent, &children, &count))
            return lost ? lostError() : captureError(ScreenCaptureError::readFailed);
        QList<TopLevel> others;
        QRegion ours;
        for (unsigned int i = 0; i < count; ++i) { // bottom to top
            XWindowAttributes attributes{};
            ErrorTrap trap(display);
            if (!XGetWindowAttributes(display, children[i], &attributes) || trap.code)
                continue; // gone meanwhile
            if (attributes.map_state != IsViewable || attributes.c_class != InputOutput)
                continue;
            const int border = attributes.border_width;
            const QRect rect(attributes.x, attributes.y, attributes.width + 2 * border, attributes.height + 2 * border);
            if (!rect.intersects(area))
                continue;
            if (isOwn(children[i], ownIds))
                ours += rect & area;
            else
                others.append({children[i], rect, attributes.visual, attributes.depth});
        }
        if (children)
            XFree(children);
        if (lost)
            return lostError();
        // Only windows under ours need to be read from their own storage.
        bool covered = false;
        for (const TopLevel& other : others)
            covered = covered || ours.intersects(other.rect);
        if (covered)
            redirect();

        bool shared = false;
        Result<QImage> screen = read(root, DefaultVisual(display, DefaultScreen(display)),
                                     DefaultDepth(display, DefaultScreen(display)), area, &shared);
        lastReadShared = shared;
        if (!screen || ours.isEmpty())
            return screen;

        QImage canvas = std::move(screen).value();
        QPainter painter(&canvas);
        painter.translate(-area.topLeft());
        for (const QRect& rect : ours)
            painter.fillRect(rect, Qt::black);
        for (const TopLevel& other : others) {
            const QRegion hidden = ours & other.rect;
            if (hidden.isEmpty())
                continue;
            ErrorTrap trap(display);
            const Pixmap pixmap = XCompositeNameWindowPixmap(display, other.window);
            XSync(display, False);
            if (trap.code || lost)
                continue; // unmapped meanwhile
            std::optional<KestraboError> refused;
            for (const QRect& rect : hidden) {
                Result<QImage> part = read(pixmap, other.visual, other.depth, rect.translated(-other.rect.topLeft()));
                if (part)
                    painter.drawImage(rect.topLeft(), part.value());
                else if (isRefusal(part.error()))
                    refused = part.error();
                if (refused || lost)
                    break;
            }
            XFreePixmap(display, pixmap);
            if (refused)
                return *refused;
        }
        painter.end();
        if (lost)
            return lostError();
        return canvas;
    }

    static bool isRefusal(const KestraboError& error)
    {
        return error.domain() == QLatin1String(ScreenCaptureError::domain) && error.code() == ScreenCaptureError::accessDenied;
    }
};

// --- main-thread side -------------------------------------------------------------------------

X11ScreenGrabber::X11ScreenGrabber(const QByteArray& displayName, QObject* parent)
    : QObject(parent), m_displayName(displayName), m_connection(std::make_unique<Connection>())
{
    m_connection->name = displayName;
    ownWindows = [] {
        QList<quint64> ids;
        if (!qobject_cast<QGuiApplication*>(QCoreApplication::instance())
            || QGuiApplication::platformName() != QLatin1String("xcb"))
            return ids;
        for (QWindow* window : QGuiApplication::topLevelWindows()) {
            if (window->handle())
                ids.append(window->winId());
        }
        return ids;
    };
    m_worker = new QObject;
    m_worker->moveToThread(&m_thread);
    m_thread.setObjectName(QStringLiteral("kestrabo.screen"));
    m_thread.start();
    look();
}

X11ScreenGrabber::~X11ScreenGrabber()
{
    m_thread.quit();
    m_thread.wait();
    delete m_worker;
    m_connection.reset();
}

void X11ScreenGrabber::onWorker(std::function<void(Connection&)> work)
{
    Connection* connection = m_connection.get();
    QMetaObject::invokeMethod(m_worker, [connection, work = std::move(work)] { work(*connection); },
                              Qt::QueuedConnection);
}

// Has the worker look at the display again, unless it is about to anyway.
void X11ScreenGrabber::look()
{
    if (m_looking.exchange(true))
        return;
    onWorker([this](Connection& connection) {
        m_looking = false;
        (void)connection.shareableDisplays();
    });
}

bool X11ScreenGrabber::preflight()
{
    if (unsupported())
        return false;
    look();
    Connection& connection = *m_connection;
    if (connection.usable < 0) {
        // Once, at start: the worker's first look normally takes a few milliseconds.
        std::unique_lock lock(connection.usableLock);
        connection.usableKnown.wait_for(lock, std::chrono::milliseconds(kFirstLookWaitMs),
                                        [&] { return connection.usable >= 0; });
    }
    return connection.usable == 1;
}

std::optional<KestraboError> X11ScreenGrabber::unsupported() const
{
    if (!host::isWaylandSession())
        return std::nullopt;
    return captureError(ScreenCaptureError::unsupportedSession);
}

bool X11ScreenGrabber::isRedirecting() const
{
    return m_connection->redirecting;
}

void X11ScreenGrabber::refuseSharedMemoryWrites()
{
    onWorker([](Connection& connection) {
        connection.readOnlySegment = true;
        connection.releaseSegment();
    });
}

void X11ScreenGrabber::shareableDisplays(std::function<void(Result<QList<ShareableDisplay>>)> done)
{
    if (auto refused = unsupported()) {
        post(this, [done = std::move(done), error = *refused] { done(error); });
        return;
    }
    onWorker([this, done = std::move(done)](Connection& connection) {
        Result<QList<ShareableDisplay>> result = connection.shareableDisplays();
        post(this, [done, result = std::move(result)] { done(result); });
    });
}

void X11ScreenGrabber::capture(const QString& identifier, QSize pixelSize, std::function<void(Result<QImage>)> done)
{
    if (auto refused = unsupported()) {
        post(this, [done = std::move(done), error = *refused] { done(error); });
        return;
    }
    QSet<quint64> own;
    if (ownWindows) {
        for (quint64 id : ownWindows())
            own.insert(id);
    }
    onWorker([this, identifier, pixelSize, own, done = std::move(done)](Connection& connection) {
        Result<QImage> result = connection.grab(identifier, pixelSize, own);
        post(this, [done, result = std::move(result)] { done(result); });
    });
}

bool X11ScreenGrabber::lastReadUsedSharedMemory() const
{
    return m_connection->lastReadShared;
}

} // namespace kestrabo
