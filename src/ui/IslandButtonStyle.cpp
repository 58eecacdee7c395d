#include "ui/IslandButtonStyle.h"

#include <QAbstractButton>
#include <QPainter>
#include <QStyleFactory>
#include <QStyleOptionButton>

namespace kestrabo {

IslandButtonStyle::IslandButtonStyle() : QProxyStyle(QStyleFactory::create(QStringLiteral("Fusion"))) {}

void IslandButtonStyle::polish(QWidget* widget)
{
    QProxyStyle::polish(widget);
    if (qobject_cast<QAbstractButton*>(widget))
        widget->setAttribute(Qt::WA_Hover);
}

void IslandButtonStyle::drawPrimitive(PrimitiveElement element, const QStyleOption* option, QPainter* painter,
                                      const QWidget* widget) const
{
    // Focus frames would flash on a panel that never keeps focus.
    if (element == PE_FrameFocusRect)
        return;
    QProxyStyle::drawPrimitive(element, option, painter, widget);
}

void IslandButtonStyle::drawControl(ControlElement element, const QStyleOption* option, QPainter* painter,
                                    const QWidget* widget) const
{
    if (element != CE_PushButton) {
        QProxyStyle::drawControl(element, option, painter, widget);
        return;
    }
    const auto* button = qstyleoption_cast<const QStyleOptionButton*>(option);
    if (!button)
        return;
    const bool enabled = button->state & State_Enabled;
    const bool hovered = enabled && (button->state & State_MouseOver);
    const bool pressed = enabled && (button->state & (State_Sunken | State_On));
    const bool prominent = widget && widget->property("prominent").toBool();
    const bool flat = button->features & QStyleOptionButton::Flat;

    int alpha = flat ? 0 : (prominent ? 235 : 36);
    if (hovered)
        alpha = flat ? 30 : (prominent ? 255 : 56);
    if (pressed)
        alpha = flat ? 48 : (prominent ? 200 : 76);
    // A tinted button is the chosen one of a set; a bordered one stands apart from plain text.
    const bool tinted = widget && widget->property("tinted").toBool();
    const bool bordered = widget && widget->property("bordered").toBool();
    const QColor base = prominent || tinted ? QColor(209, 242, 140) : QColor(255, 255, 255);
    if (tinted)
        alpha += 40;
    painter->save();
    painter->setRenderHint(QPainter::Antialiasing);
    painter->setOpacity(enabled ? 1.0 : 0.4);
    if (alpha > 0) {
        QColor fill = base;
        fill.setAlpha(alpha);
        painter->setPen(Qt::NoPen);
        painter->setBrush(fill);
        const QRectF area = QRectF(button->rect).adjusted(0.5, 0.5, -0.5, -0.5);
        const double radius = prominent ? area.height() / 2 : std::min(9.0, area.height() / 2);
        painter->drawRoundedRect(area, radius, radius);
    }
    if (bordered || tinted) {
        QColor edge = base;
        edge.setAlpha(tinted ? 200 : 70);
        painter->setPen(QPen(edge, 1));
        painter->setBrush(Qt::NoBrush);
        const QRectF area = QRectF(button->rect).adjusted(0.5, 0.5, -0.5, -0.5);
        painter->drawRoundedRect(area, 9, 9);
    }
    QStyleOptionButton label = *button;
    const QColor text = prominent ? QColor(18, 22, 12) : QColor(255, 255, 255);
    label.palette.setColor(QPalette::ButtonText, text);
    label.palette.setColor(QPalette::Disabled, QPalette::ButtonText, text);
    QProxyStyle::drawControl(CE_PushButtonLabel, &label, painter, widget);
    painter->restore();
}

QSize IslandButtonStyle::sizeFromContents(ContentsType type, const QStyleOption* option, const QSize& size,
                                          const QWidget* widget) const
{
    if (type != CT_PushButton)
        return QProxyStyle::sizeFromContents(type, option, size, widget);
    const bool iconOnly = widget && widget->property("iconOnly").toBool();
    if (iconOnly)
        return {28, 28};
    return {size.width() + 20, std::max(size.height() + 10, 26)};
}

} // namespace kestrabo
