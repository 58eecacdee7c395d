#include "ui/IslandWidgets.h"

#include "ui/CompanionFace.h"
#include "ui/IslandIcons.h"

#include <QLabel>
#include <QPushButton>

namespace kestrabo::island {

namespace {

QColor colour(Ink ink)
{
    switch (ink) {
    case Ink::primary:
        return Qt::white;
    case Ink::secondary:
        return kSecondaryInk;
    case Ink::leaf:
        return kLeaf;
    case Ink::warning:
        return QColor::fromRgbF(1.0f, 0.65f, 0.5f);
    }
    return Qt::white;
}

} // namespace

void setInk(QWidget* widget, Ink ink)
{
    QPalette palette = widget->palette();
    palette.setColor(QPalette::WindowText, colour(ink));
    widget->setPalette(palette);
}

void adoptStyle(QWidget* root, QStyle* style)
{
    root->setStyle(style);
    for (QWidget* child : root->findChildren<QWidget*>())
        child->setStyle(style);
}

QLabel* text(QWidget* parent, const QString& value, int pointSize, QFont::Weight weight, Ink ink)
{
    auto* label = new QLabel(value, parent);
    QFont font = label->font();
    // Sizes are the island's points: one point to a device-independent pixel.
    font.setPixelSize(pointSize);
    font.setWeight(weight);
    label->setFont(font);
    label->setWordWrap(true);
    label->setTextFormat(Qt::PlainText);
    setInk(label, ink);
    return label;
}

QPushButton* button(QWidget* parent, const QString& label, const QString& iconName)
{
    auto* result = new QPushButton(label, parent);
    QFont font = result->font();
    font.setPixelSize(12);
    result->setFont(font);
    if (!iconName.isEmpty())
        result->setIcon(icon(iconName));
    result->setCursor(Qt::PointingHandCursor);
    result->setFocusPolicy(Qt::NoFocus);
    return result;
}

QPushButton* iconButton(QWidget* parent, const QString& iconName, const QString& accessible, const QString& help)
{
    auto* result = button(parent, QString(), iconName);
    result->setProperty("iconOnly", true);
    result->setIconSize(QSize(15, 15));
    result->setAccessibleName(accessible);
    result->setToolTip(help);
    return result;
}

void setIcon(QLabel* label, const QString& iconName, Ink ink)
{
    label->setPixmap(icon(iconName, colour(ink)).pixmap(QSize(15, 15), label->devicePixelRatioF()));
    label->setFixedSize(16, 16);
    label->setProperty("iconName", iconName);
}

} // namespace kestrabo::island
