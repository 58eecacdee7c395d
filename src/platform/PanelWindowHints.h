#pragma once

#include <QtGlobal>

namespace kestrabo::platform {

// Asks the window manager to keep a panel window on every desktop, out of the taskbar and
// pager, above normal windows, undecorated and unmovable. The states take effect when given
// before the window first maps; the rest may be given again after the toolkit rewrites them.
// Does nothing off X11.
void applyPanelWindowHints(quintptr windowId);

} // namespace kestrabo::platform
