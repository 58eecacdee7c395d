#include "routing/ScreenContext.h"

#include "platform/ScreenGrabber.h"
#include "platform/SystemAccess.h"
#include "system/Permissions.h"

#include <QBuffer>
#include <QCoreApplication>
#include <QCursor>
#include <QGuiApplication>
#include <QPointer>
#include <QScreen>
#include <QThreadPool>

#include <cmath>
#include <memory>

namespace kestrabo {

namespace {

const QString kPermission = QStringLiteral(
    "Allow Kestrabo to capture the screen in the desktop's privacy settings, then return to Kestrabo and refresh "
    "permissions.");
const QString kDisplayUnavailable = QStringLiteral("The current display is unavailable.");
const QString kDisplayDisconnected = QStringLiteral("The display disconnected. Try again on your current display.");
const QString kEncodeFailed = QStringLiteral("Could not encode the screenshot. Please retry.");

constexpr int kMaxJpegSide = 2048;
constexpr int kJpegQuality = 80;
constexpr qreal kMinCropPixels = 4;

bool finite(qreal value) { return std::isfinite(value); }

void later(const ScreenContext::Done& done, Result<ScreenSnapshot> result)
{
    post(QCoreApplication::instance(), [done, result = std::move(result)] { done(result); });
}

// A failure of the capture backend: a refusal becomes the permission sentence and is
// remembered; anything else passes on unchanged.
KestraboError captureFailure(const KestraboError& error)
{
    if (!Permissions::isScreenAccessDenied(error))
        return error;
    lastScreenAccess = ScreenAccessStatus::denied();
    return KestraboError::message(kPermission);
}

} // namespace

QRectF SelectionGeometry::pixelRect(const QRectF& selection, const QSizeF& displaySize, const QSizeF& pixelSize)
{
    const qreal displayWidth = displaySize.width();
    const qreal displayHeight = displaySize.height();
    const qreal pixelWidth = pixelSize.width();
    const qreal pixelHeight = pixelSize.height();
    for (qreal value : {displayWidth, displayHeight, pixelWidth, pixelHeight}) {
        if (!finite(value) || !(value > 0))
            return QRectF();
    }
    for (qreal value : {selection.x(), selection.y(), selection.width(), selection.height()}) {
        if (!finite(value))
            return QRectF();
    }
    const QRectF visible = selection.normalized().intersected(QRectF(0, 0, displayWidth, displayHeight));
    if (visible.isNull())
        return QRectF();

    const qreal x = pixelWidth * visible.left() / displayWidth;
    const qreal y = pixelHeight * (displayHeight - visible.bottom()) / displayHeight;
    const qreal w = pixelWidth * visible.width() / displayWidth;
    const qreal h = pixelHeight * visible.height() / displayHeight;
    const qreal left = std::floor(x);
    const qreal top = std::floor(y);
    return QRectF(left, top, std::ceil(x + w) - left, std::ceil(y + h) - top);
}

QScreen* ScreenContext::currentScreen()
{
    const QPoint pointer = QCursor::pos();
    const QList<QScreen*> screens = QGuiApplication::screens();
    for (QScreen* screen : screens) {
        if (screen->geometry().contains(pointer))
            return screen;
    }
    return QGuiApplication::primaryScreen();
}

std::optional<ScreenContext::Display> ScreenContext::describe(QScreen* screen)
{
    if (!screen)
        return std::nullopt;
    return Display{
        .identifier = screen->name(),
        .name = screen->model().isEmpty() ? screen->name() : screen->model(),
        .size = screen->geometry().size(),
        .scale = screen->devicePixelRatio(),
    };
}

bool ScreenContext::passesPermissionGate(const Platform& platform)
{
    if (platform.access && platform.access->screenCapturePreflight()) {
        lastScreenAccess = ScreenAccessStatus::available();
        return true;
    }
    // The desktop's answer can lag behind; an earlier probe or capture that worked counts.
    return lastScreenAccess && lastScreenAccess->isAvailable();
}

void ScreenContext::capture(const Platform& platform, QScreen* screen, const std::optional<QRectF>& selection,
                            const Job& job, Done done)
{
    if (const auto unsupported = platform.grabber ? platform.grabber->unsupported() : std::nullopt) {
        later(done, KestraboError::message(unsupported->description()));
        return;
    }
    if (!passesPermissionGate(platform)) {
        later(done, KestraboError::message(kPermission));
        return;
    }
    const std::optional<Display> display = describe(screen ? screen : currentScreen());
    if (!display) {
        later(done, KestraboError::message(kDisplayUnavailable));
        return;
    }
    captureDescribed(platform, *display, selection, job, done);
}

void ScreenContext::capture(const Platform& platform, const std::optional<Display>& display,
                            const std::optional<QRectF>& selection, const Job& job, Done done)
{
    if (const auto unsupported = platform.grabber ? platform.grabber->unsupported() : std::nullopt) {
        later(done, KestraboError::message(unsupported->description()));
        return;
    }
    if (!passesPermissionGate(platform)) {
        later(done, KestraboError::message(kPermission));
        return;
    }
    if (!display) {
        later(done, KestraboError::message(kDisplayUnavailable));
        return;
    }
    captureDescribed(platform, *display, selection, job, done);
}

void ScreenContext::captureDescribed(const Platform& platform, const Display& display,
                                     const std::optional<QRectF>& selection, const Job& job, const Done& done)
{
    ScreenGrabber* grabber = platform.grabber;
    if (!grabber) {
        later(done, KestraboError::message(kDisplayUnavailable));
        return;
    }
    grabber->shareableDisplays([grabber, display, selection, job, done](const Result<QList<ShareableDisplay>>& displays) {
        if (job.isCancelled())
            return done(KestraboError::cancelled());
        if (!displays)
            return done(captureFailure(displays.error()));
        QString identifier = display.identifier;
        if (identifier.isEmpty()) {
            // A screen the toolkit gives no name is only unambiguous when there is one display.
            if (displays.value().size() != 1)
                return done(KestraboError::message(kDisplayUnavailable));
            identifier = displays.value().first().identifier;
        }
        bool present = false;
        for (const ShareableDisplay& candidate : displays.value())
            present = present || candidate.identifier == identifier;
        if (!present)
            return done(KestraboError::message(kDisplayDisconnected));
        const QSize pixelSize(int(display.scale * display.size.width()), int(display.scale * display.size.height()));
        if (pixelSize.isEmpty())
            return done(KestraboError::message(kDisplayUnavailable));

        grabber->capture(identifier, pixelSize, [display, selection, job, done](const Result<QImage>& image) {
            if (!image)
                return done(job.isCancelled() ? KestraboError::cancelled() : captureFailure(image.error()));
            lastScreenAccess = ScreenAccessStatus::available();
            if (job.isCancelled())
                return done(KestraboError::cancelled());
            // Scaling and encoding take tens of milliseconds: keep them off the main thread.
            QPointer<QCoreApplication> application(QCoreApplication::instance());
            const QImage captured = image.value();
            QThreadPool::globalInstance()->start([application, captured, display, selection, job, done] {
                Result<ScreenSnapshot> snapshot = assemble(captured, display, selection);
                post(application, [snapshot = std::move(snapshot), job, done] {
                    done(job.isCancelled() ? Result<ScreenSnapshot>(KestraboError::cancelled()) : snapshot);
                });
            });
        });
    });
}

Result<ScreenSnapshot> ScreenContext::assemble(const QImage& image, const Display& display,
                                               const std::optional<QRectF>& selection)
{
    std::optional<QByteArray> crop;
    if (selection) {
        const QRectF rect = SelectionGeometry::pixelRect(*selection, display.size, QSizeF(image.size()));
        if (rect.width() >= kMinCropPixels && rect.height() >= kMinCropPixels) {
            const QImage region = image.copy(rect.toRect());
            if (!region.isNull())
                crop = jpeg(region);
        }
    }
    std::optional<QByteArray> whole = jpeg(image);
    if (!whole)
        return KestraboError::message(kEncodeFailed);
    return ScreenSnapshot{
        .jpeg = std::move(*whole),
        .crop = std::move(crop),
        .capturedAt = QDateTime::currentDateTime(),
        .displayName = display.name,
    };
}

std::optional<QByteArray> ScreenContext::jpeg(const QImage& image)
{
    if (image.isNull() || image.width() <= 0 || image.height() <= 0)
        return std::nullopt;
    // Integer arithmetic, so the longest side lands on 2,048 exactly; images only ever shrink.
    const qint64 width = image.width();
    const qint64 height = image.height();
    const qint64 longest = std::max(width, height);
    qint64 targetWidth = width;
    qint64 targetHeight = height;
    if (longest > kMaxJpegSide) {
        targetWidth = std::max<qint64>(1, width * kMaxJpegSide / longest);
        targetHeight = std::max<qint64>(1, height * kMaxJpegSide / longest);
    }
    QImage opaque = image.convertToFormat(QImage::Format_RGB32);
    if (opaque.isNull())
        return std::nullopt;
    if (targetWidth != width || targetHeight != height)
        opaque = opaque.scaled(int(targetWidth), int(targetHeight), Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    if (opaque.isNull())
        return std::nullopt;
    QByteArray bytes;
    QBuffer buffer(&bytes);
    if (!buffer.open(QIODevice::WriteOnly) || !opaque.save(&buffer, "JPEG", kJpegQuality) || bytes.isEmpty())
        return std::nullopt;
    return bytes;
}

} // namespace kestrabo
