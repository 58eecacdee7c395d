#pragma once

#include <QProxyStyle>

namespace kestrabo {

// The island's buttons: light text on a translucent capsule that brightens on hover and
// press and dims when disabled. Hover changes are instant: the island honours reduce motion
// by never animating them.
class IslandButtonStyle : public QProxyStyle {
public:
    IslandButtonStyle();

    void drawControl(ControlElement element, const QStyleOption* option, QPainter* painter,
                     const QWidget* widget) const override;
    void drawPrimitive(PrimitiveElement element, const QStyleOption* option, QPainter* painter,
                       const QWidget* widget) const override;
    QSize sizeFromContents(ContentsType type, const QStyleOption* option, const QSize& size,
                           const QWidget* widget) const override;
    void polish(QWidget* widget) override;
    using QProxyStyle::polish;
};

} // namespace kestrabo
