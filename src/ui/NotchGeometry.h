#pragma once

#include <QRectF>

#include <optional>

namespace kestrabo {

// The notch measured on one screen, in points. Linux screens report no notch, so they always
// take the no-notch branch; the notch branch stays for screens that do report one.
struct NotchGeometry {
    double width = 120;
    double notchHeight = 24;
    double collapsedHeight = 32;

    // `leftArea`/`rightArea` are the strips left and right of the notch, when the screen has them.
    static NotchGeometry measure(double topSafeAreaInset, const std::optional<QRectF>& leftArea,
                                 const std::optional<QRectF>& rightArea);

    friend bool operator==(const NotchGeometry&, const NotchGeometry&) = default;
};

} // namespace kestrabo
