#include "platform/linux/X11Desktop.h"

#include <QByteArray>
#include <QGuiApplication>

// Xlib last: its macros (None, Bool, Status, …) would clash with the headers above.
#include <X11/Xlib.h>

namespace kestrabo::x11 {

bool compositingManagerRunning()
{
    auto* x11 = qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
    Display* display = x11 ? x11->display() : nullptr;
    if (!display)
        return true;
    // The manager owns this selection for as long as it runs (EWMH).
    const QByteArray selection = "_NET_WM_CM_S" + QByteArray::number(DefaultScreen(display));
    return XGetSelectionOwner(display, XInternAtom(display, selection.constData(), False)) != None;
}

} // namespace kestrabo::x11
