#pragma once

class QSettings;

namespace kestrabo {

class ScreenGrabber;
class SystemAccess;

// The platform services the companion model reads, owned by whoever builds the model (the
// application entry, or a test with its doubles). Nothing here is owned by the model.
struct Platform {
    SystemAccess* access = nullptr;
    QSettings* preferences = nullptr;
    // Absent where no window system can be captured: captures then find no display.
    ScreenGrabber* grabber = nullptr;
};

} // namespace kestrabo
