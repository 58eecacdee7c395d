#pragma once

#include "core/Job.h"
#include "core/Result.h"
#include "platform/Platform.h"

#include <QByteArray>
#include <QDateTime>
#include <QImage>
#include <QRectF>
#include <QSizeF>
#include <QString>

#include <functional>
#include <optional>

class QScreen;

namespace kestrabo {

// One capture of a display, with the circled region cut from it when there was one.
struct ScreenSnapshot {
    QByteArray jpeg;
    std::optional<QByteArray> crop;
    QDateTime capturedAt;
    QString displayName;
};

// Circled rectangles, from display points to image pixels.
namespace SelectionGeometry {

// `selection` is in the display's points with the origin at its lower-left corner (y grows
// upwards); the result is in image pixels with the origin at the top-left, grown to whole
// pixels. Unusable input or a selection wholly outside the display gives the zero rectangle.
QRectF pixelRect(const QRectF& selection, const QSizeF& displaySize, const QSizeF& pixelSize);

} // namespace SelectionGeometry

// Still pictures of the display the user works on, without our windows, as JPEG.
class ScreenContext {
public:
    // What a capture needs to know of a display.
    struct Display {
        // The capture backend's identity of the display (QScreen::name()); empty when the
        // toolkit names none, which is only good enough while there is a single display.
        QString identifier;
        QString name;       // shown to the user
        QSizeF size;        // in points
        qreal scale = 1;    // pixels per point
    };

    using Done = std::function<void(Result<ScreenSnapshot>)>;

    // Captures `screen`, or the display under the pointer when none is given, and cuts the
    // circled `selection` out of it. Runs on the main thread; `done` is called once, in a later
    // turn, with the cancellation error if `job` (a started Job) was cancelled meanwhile.
    static void capture(const Platform& platform, QScreen* screen, const std::optional<QRectF>& selection,
                        const Job& job, Done done);
    // The same for a display described directly.
    static void capture(const Platform& platform, const std::optional<Display>& display,
                        const std::optional<QRectF>& selection, const Job& job, Done done);

    // The display under the pointer, else the primary one; null only without any display.
    static QScreen* currentScreen();
    static std::optional<Display> describe(QScreen* screen);

private:
    static bool passesPermissionGate(const Platform& platform);
    static void captureDescribed(const Platform& platform, const Display& display,
                                 const std::optional<QRectF>& selection, const Job& job, const Done& done);
    static Result<ScreenSnapshot> assemble(const QImage& image, const Display& display,
                                           const std::optional<QRectF>& selection);
    // JPEG at quality 80, longest side at most 2,048 pixels, no alpha; nothing on failure.
    static std::optional<QByteArray> jpeg(const QImage& image);
};

} // namespace kestrabo
