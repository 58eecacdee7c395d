#include "ui/IslandIcons.h"

#include <QPainter>
#include <QPainterPath>
#include <QPixmap>

#include <cmath>
#include <functional>
#include <map>

namespace kestrabo::island {

namespace {

// Each icon draws into a 16 × 16 box with the pen and brush already set to its colour.
using Draw = std::function<void(QPainter&, const QColor&)>;

QPen line(const QColor& colour, double width = 1.6)
{
    return QPen(colour, width, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
}

const std::map<QString, Draw>& drawings()
{
    static const std::map<QString, Draw> table{
        {QStringLiteral("chevron.up"),
         [](QPainter& p, const QColor& c) {
             p.setPen(line(c, 2));
             p.drawPolyline(QPolygonF({{3.5, 10.5}, {8, 6}, {12.5, 10.5}}));
         }},
        {QStringLiteral("gearshape"),
         [](QPainter& p, const QColor& c) {
             // Eight teeth around a ring, the hub left open.
             QPainterPath gear;
             gear.setFillRule(Qt::OddEvenFill);
             constexpr int kTeeth = 8;
             for (int i = 0; i < kTeeth * 4; ++i) {
                 const double angle = (i - 0.5) * M_PI * 2 / (kTeeth * 4);
                 const double radius = (i % 4 == 0 || i % 4 == 1) ? 7.4 : 5.6;
                 const QPointF point(8 + radius * std::cos(angle), 8 + radius * std::sin(angle));
                 i == 0 ? gear.moveTo(point) : gear.lineTo(point);
             }
             gear.closeSubpath();
             gear.addEllipse(QPointF(8, 8), 2.4, 2.4);
             p.setPen(Qt::NoPen);
             p.setBrush(c);
             p.drawPath(gear);
         }},
        {QStringLiteral("xmark"),
         [](QPainter& p, const QColor& c) {
             p.setPen(line(c, 2));
             p.drawLine(QPointF(4, 4), QPointF(12, 12));
             p.drawLine(QPointF(12, 4), QPointF(4, 12));
         }},
        {QStringLiteral("power"),
         [](QPainter& p, const QColor& c) {
             p.setPen(line(c, 1.8));
             p.drawArc(QRectF(2.5, 3, 11, 11), 60 * 16, -300 * 16);
             p.drawLine(QPointF(8, 1.8), QPointF(8, 8));
         }},
        {QStringLiteral("mic.fill"),
         [](QPainter& p, const QColor& c) {
             p.setPen(Qt::NoPen);
             p.setBrush(c);
             p.drawRoundedRect(QRectF(5.5, 1.5, 5, 8.5), 2.5, 2.5);
             p.setPen(line(c, 1.4));
             p.setBrush(Qt::NoBrush);
             p.drawArc(QRectF(3.5, 4, 9, 8.5), 0, -180 * 16);
             p.drawLine(QPointF(8, 12.5), QPointF(8, 14.5));
         }},
        {QStringLiteral("stop.fill"),
         [](QPainter& p, const QColor& c) {
             p.setPen(Qt::NoPen);
             p.setBrush(c);
             p.drawRoundedRect(QRectF(3.5, 3.5, 9, 9), 2, 2);
         }},
        {QStringLiteral("display"),
         [](QPainter& p, const QColor& c) {
             p.setPen(line(c, 1.4));
             p.drawRoundedRect(QRectF(1.5, 2.5, 13, 9), 1.5, 1.5);
             p.drawLine(QPointF(5.5, 14), QPointF(10.5, 14));
             p.drawLine(QPointF(8, 11.5), QPointF(8, 14));
         }},
        {QStringLiteral("lasso"),
         [](QPainter& p, const QColor& c) {
             p.setPen(line(c, 1.4));
             p.drawEllipse(QRectF(1.5, 2, 13, 8));
             QPainterPath tail(QPointF(5, 9.5));
             tail.cubicTo(QPointF(3.5, 12), QPointF(6.5, 12.5), QPointF(5, 15));
             p.drawPath(tail);
         }},
        {QStringLiteral("headphones"),
         [](QPainter& p, const QColor& c) {
             p.setPen(line(c, 1.5));
             p.drawArc(QRectF(2, 2.5, 12, 12), 0, 180 * 16);
             p.setPen(Qt::NoPen);
             p.setBrush(c);
             p.drawRoundedRect(QRectF(1.5, 8.5, 3.5, 6), 1.2, 1.2);
             p.drawRoundedRect(QRectF(11, 8.5, 3.5, 6), 1.2, 1.2);
         }},
        {QStringLiteral("checkmark.circle.fill"),
         [](QPainter& p, const QColor& c) {
             p.setPen(Qt::NoPen);
             p.setBrush(c);
             p.drawEllipse(QRectF(1, 1, 14, 14));
             p.setPen(line(QColor(20, 20, 20), 1.8));
             p.drawPolyline(QPolygonF({{4.8, 8.2}, {7, 10.4}, {11.2, 5.8}}));
         }},
        {QStringLiteral("circle"),
         [](QPainter& p, const QColor& c) {
             p.setPen(line(c, 1.4));
             p.drawEllipse(QRectF(1.7, 1.7, 12.6, 12.6));
         }},
        {QStringLiteral("exclamationmark.circle"),
         [](QPainter& p, const QColor& c) {
             p.setPen(line(c, 1.4));
             p.drawEllipse(QRectF(1.7, 1.7, 12.6, 12.6));
             p.setPen(line(c, 1.8));
             p.drawLine(QPointF(8, 4.6), QPointF(8, 8.8));
             p.drawPoint(QPointF(8, 11.4));
         }},
    };
    return table;
}

} // namespace

QIcon icon(const QString& name, const QColor& colour)
{
    const auto found = drawings().find(name);
    if (found == drawings().end())
        return {};
    QIcon result;
    for (const int side : {16, 32, 48}) {
        QPixmap pixmap(side, side);
        pixmap.fill(Qt::transparent);
        QPainter painter(&pixmap);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.scale(side / 16.0, side / 16.0);
        painter.setBrush(Qt::NoBrush);
        found->second(painter, colour);
        painter.end();
        result.addPixmap(pixmap);
    }
    return result;
}

} // namespace kestrabo::island
