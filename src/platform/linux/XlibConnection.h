#pragma once

#include <QByteArray>

#include <atomic>

// Xlib last: its macros (None, Bool, Status, …) would clash with other headers. Include this
// header after the Qt and standard ones.
#include <X11/Xlib.h>

// Connections of our own to an X server that never end the process: Xlib's default handlers
// exit on any error. Errors on our connections are collected by the innermost trap of the
// calling thread; everybody else's go to the handlers that were there before. Any thread may
// open and close them.
namespace kestrabo::xlib {

struct ErrorTrap {
    explicit ErrorTrap(Display* display);
    ~ErrorTrap();
    ErrorTrap(const ErrorTrap&) = delete;
    ErrorTrap& operator=(const ErrorTrap&) = delete;

    Display* display;
    ErrorTrap* outer;
    int code = 0;
};

// Opens a connection (an empty name means $DISPLAY); when the server goes away `lostFlag` is
// set and the connection stays dead instead of ending the process.
Display* openDisplay(const QByteArray& name, std::atomic<bool>* lostFlag);
void closeDisplay(Display* display);

} // namespace kestrabo::xlib
