#include "input/LassoView.h"

#include <QApplication>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>

#include <algorithm>

namespace kestrabo {

SelectionPanel::SelectionPanel(const QRect& frame, bool seeThrough)
    : QWidget(nullptr, Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint | Qt::BypassWindowManagerHint
                           | Qt::WindowDoesNotAcceptFocus | Qt::NoDropShadowWindowHint)
{
    setAttribute(Qt::WA_TranslucentBackground, seeThrough);
    setAttribute(Qt::WA_ShowWithoutActivating);
    setFocusPolicy(Qt::NoFocus);
    setGeometry(frame);
}

LassoView::LassoView(QWidget* parent, const QPixmap& backdrop) : QWidget(parent), m_backdrop(backdrop)
{
    setCursor(Qt::CrossCursor);
    setFocusPolicy(Qt::NoFocus);
}

std::optional<QRectF> LassoView::selectionBounds() const
{
    if (m_points.size() < 3)
        return std::nullopt;
    const auto [left, right] = std::minmax_element(m_points.begin(), m_points.end(),
                                                   [](const QPointF& a, const QPointF& b) { return a.x() < b.x(); });
    const auto [bottom, top] = std::minmax_element(m_points.begin(), m_points.end(),
                                                   [](const QPointF& a, const QPointF& b) { return a.y() < b.y(); });
    return QRectF(QPointF(left->x(), bottom->y()), QPointF(right->x(), top->y()));
}

QPointF LassoView::toView(const QPointF& widgetPoint) const
{
    return QPointF(widgetPoint.x(), height() - widgetPoint.y());
}

void LassoView::mousePressEvent(QMouseEvent* event)
{
    m_points = {toView(event->position())};
    update();
}

void LassoView::mouseMoveEvent(QMouseEvent* event)
{
    if (!(event->buttons() & Qt::LeftButton) || m_points.isEmpty())
        return;
    m_points.append(toView(event->position()));
    update();
}

void LassoView::mouseReleaseEvent(QMouseEvent* event)
{
    m_points.append(toView(event->position()));
    if (onComplete)
        onComplete();
}

void LassoView::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    if (!m_backdrop.isNull())
        painter.drawPixmap(rect(), m_backdrop);
    painter.fillRect(rect(), QColor::fromRgbF(0, 0, 0, 0.12f));

    // Lengths are display points, like the view's own geometry.
    QFont font = QApplication::font();
    font.setPixelSize(18);
    font.setWeight(QFont::Medium);
    painter.setFont(font);
    painter.setPen(Qt::white);
    // The text's box sits with its bottom 80 points below the top edge.
    painter.drawText(QPointF(32, 80 - QFontMetricsF(font).descent()), QString::fromUtf8(hint));

    if (m_points.isEmpty())
        return;
    QPainterPath stroke(QPointF(m_points.first().x(), height() - m_points.first().y()));
    for (qsizetype i = 1; i < m_points.size(); ++i)
        stroke.lineTo(m_points[i].x(), height() - m_points[i].y());
    painter.setPen(QPen(QColor::fromRgbF(0.82f, 0.95f, 0.55f), 3, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    painter.setBrush(Qt::NoBrush);
    painter.drawPath(stroke);
}

} // namespace kestrabo
