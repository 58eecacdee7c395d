#include "platform/PanelWindowHints.h"

#include <QGuiApplication>

#include <X11/Xatom.h>
#include <X11/Xlib.h>

namespace kestrabo::platform {

void applyPanelWindowHints(quintptr windowId)
{
    if (QGuiApplication::platformName() != QLatin1String("xcb"))
        return;
    auto* x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
    Display* display = x11 ? x11->display() : nullptr;
    if (!display || !windowId)
        return;
    const Window window = Window(windowId);
    // Motif hints: no decorations and no window-manager functions, so nothing offers to move it.
    long motif[5] = {1 | 2, 0, 0, 0, 0};
    const Atom motifHints = XInternAtom(display, "_MOTIF_WM_HINTS", False);
    XChangeProperty(display, window, motifHints, motifHints, 32, PropModeReplace,
                    reinterpret_cast<unsigned char*>(motif), 5);
    XWindowAttributes attributes;
    if (!XGetWindowAttributes(display, window, &attributes) || attributes.map_state != IsUnmapped) {
        XFlush(display);
        return;
    }
    // Set before the window maps: the toolkit merges its own states into these when it maps.
    Atom states[] = {XInternAtom(display, "_NET_WM_STATE_SKIP_TASKBAR", False),
                     XInternAtom(display, "_NET_WM_STATE_SKIP_PAGER", False),
                     XInternAtom(display, "_NET_WM_STATE_ABOVE", False),
                     XInternAtom(display, "_NET_WM_STATE_STICKY", False)};
    XChangeProperty(display, window, XInternAtom(display, "_NET_WM_STATE", False), XA_ATOM, 32, PropModeAppend,
                    reinterpret_cast<unsigned char*>(states), 4);
    long allDesktops = 0xFFFFFFFF;
    XChangeProperty(display, window, XInternAtom(display, "_NET_WM_DESKTOP", False), XA_CARDINAL, 32,
                    PropModeReplace, reinterpret_cast<unsigned char*>(&allDesktops), 1);
    XFlush(display);
}

} // namespace kestrabo::platform
