#pragma once

#include <QList>
#include <QPointF>
#include <QRectF>
#include <QWidget>

#include <functional>
#include <optional>

namespace kestrabo {

// The circle overlay's window: frameless, see-through, above everything, left alone by the
// window manager, and never given keyboard focus, so the user's window keeps their keys.
class SelectionPanel : public QWidget {
    Q_OBJECT
public:
    explicit SelectionPanel(const QRect& frame);
};

// Records and draws one lasso stroke. Points are in the display's own points with the origin at
// its lower-left corner (y grows upwards), as screen captures take a selection.
class LassoView : public QWidget {
    Q_OBJECT
public:
    static constexpr const char* hint = "Circle something, then ask. Esc to cancel.";

    explicit LassoView(QWidget* parent = nullptr);

    // The mouse button went up.
    std::function<void()> onComplete;
    const QList<QPointF>& points() const { return m_points; }

    // The smallest rectangle holding the stroke; none for fewer than 3 points (a click).
    std::optional<QRectF> selectionBounds() const;

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private:
    QPointF toView(const QPointF& widgetPoint) const;

    QList<QPointF> m_points;
};

} // namespace kestrabo
