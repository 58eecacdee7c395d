#include "platform/linux/XlibConnection.h"

#include <mutex>
#include <set>

#include <X11/extensions/Xge.h>

namespace kestrabo::xlib {

namespace {

// Function-local, so a connection may be opened during static initialisation too.
struct Registry {
    std::mutex lock;
    std::set<Display*> displays;
    // Xlib's extension libraries keep process-wide lists of displays. The generic event
    // extension's, which the others join on first use, is created and freed (with the last
    // display in it) without any lock. Opening and closing take turns here, and every connection
    // joins that list as it opens: while one of ours is open the list stays, and what other
    // threads do to it meanwhile goes under Xlib's own lock.
    std::mutex turns;
};

Registry& ours()
{
    static Registry registry;
    return registry;
}

XErrorHandler g_previousErrorHandler = nullptr;
XIOErrorHandler g_previousIOErrorHandler = nullptr;

thread_local ErrorTrap* t_trap = nullptr;

bool isOurs(Display* display)
{
    std::lock_guard lock(ours().lock);
    return ours().displays.count(display) != 0;
}

int onXError(Display* display, XErrorEvent* event)
{
    for (ErrorTrap* trap = t_trap; trap; trap = trap->outer) {
        if (trap->display == display) {
            if (!trap->code)
                trap->code = event->error_code;
            return 0;
        }
    }
    if (isOurs(display))
        return 0;
    return g_previousErrorHandler ? g_previousErrorHandler(display, event) : 0;
}

int onXIOError(Display* display)
{
    if (isOurs(display))
        return 0;
    return g_previousIOErrorHandler ? g_previousIOErrorHandler(display) : 0;
}

void installHandlers()
{
    static std::once_flag once;
    std::call_once(once, [] {
        g_previousErrorHandler = XSetErrorHandler(onXError);
        g_previousIOErrorHandler = XSetIOErrorHandler(onXIOError);
    });
}

void onConnectionLost(Display*, void* flag)
{
    static_cast<std::atomic<bool>*>(flag)->store(true);
}

} // namespace

ErrorTrap::ErrorTrap(Display* display) : display(display), outer(t_trap) { t_trap = this; }

ErrorTrap::~ErrorTrap() { t_trap = outer; }

Display* openDisplay(const QByteArray& name, std::atomic<bool>* lostFlag)
{
    installHandlers();
    std::lock_guard turn(ours().turns);
    Display* display = XOpenDisplay(name.isEmpty() ? nullptr : name.constData());
    if (!display)
        return nullptr;
    int eventBase = 0, errorBase = 0;
    XGEQueryExtension(display, &eventBase, &errorBase); // joins the list (see Registry)
    {
        std::lock_guard lock(ours().lock);
        ours().displays.insert(display);
    }
    XSetIOErrorExitHandler(display, onConnectionLost, lostFlag);
    return display;
}

void closeDisplay(Display* display)
{
    if (!display)
        return;
    std::lock_guard turn(ours().turns);
    XCloseDisplay(display);
    std::lock_guard lock(ours().lock);
    ours().displays.erase(display);
}

} // namespace kestrabo::xlib
