#pragma once

#include <QtGlobal>

namespace kestrabo::platform {

// Asks the window manager to keep a panel window on every desktop, out of the taskbar and
// pager, and above normal windows. Does nothing off X11.
void applyPanelWindowHints(quintptr windowId);

} // namespace kestrabo::platform
