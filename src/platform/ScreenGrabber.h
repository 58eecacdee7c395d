#pragma once

#include "core/Result.h"

#include <QImage>
#include <QList>
#include <QRect>
#include <QSize>
#include <QString>

#include <functional>
#include <optional>

namespace kestrabo {

// Errors of the screen-capture backend. Their descriptions are finished sentences, so callers
// may pass them on to the user unchanged.
namespace ScreenCaptureError {
inline constexpr const char* domain = "ScreenCapture";
enum Code : long long {
    unreachable = 1,         // no window system to capture from
    compositeMissing = 2,    // the window system cannot give windows' contents
    accessDenied = 3,        // the window system refuses this process the pixels
    displayDisconnected = 4, // the display went away between choosing it and capturing
    readFailed = 5,
    unsupportedSession = 6,  // a session whose other clients' pixels X cannot give (Wayland)
};
} // namespace ScreenCaptureError

// One display the capture backend can capture, in the window system's pixel coordinates.
struct ShareableDisplay {
    // Matches the identity the toolkit reports for its screen (QScreen::name()).
    QString identifier;
    QString name;
    QRect geometry;

    friend bool operator==(const ShareableDisplay&, const ShareableDisplay&) = default;
};

// Still pictures of a display without this process's windows and without the pointer.
// Answers always arrive on the main thread, in a later turn of its event loop.
class ScreenGrabber {
public:
    virtual ~ScreenGrabber() = default;

    // True when a capture could work right now. Never prompts; returns quickly.
    virtual bool preflight() = 0;
    // Why no capture can work in this session at all, whatever the user allows; none when one can.
    virtual std::optional<KestraboError> unsupported() const { return std::nullopt; }
    virtual void shareableDisplays(std::function<void(Result<QList<ShareableDisplay>>)> done) = 0;
    // One image of the display, scaled to `pixelSize` when that differs from its native size.
    virtual void capture(const QString& identifier, QSize pixelSize, std::function<void(Result<QImage>)> done) = 0;
};

} // namespace kestrabo
