#pragma once

#include <QList>
#include <QPixmap>
#include <QPointF>
#include <QRectF>
#include <QWidget>

#include <functional>
#include <optional>

namespace kestrabo {

// The circle overlay's window: frameless, above everything, left alone by the window manager,
// and never given keyboard focus, so the user's window keeps their keys. See-through, unless
// the display cannot show that: then the view paints a still picture of what lay beneath.
class SelectionPanel : public QWidget {
    Q_OBJECT
public:
    SelectionPanel(const QRect& frame, bool seeThrough);
};

// Records and draws one lasso stroke. Points are in the display's own points with the origin at
// its lower-left corner (y grows upwards), as screen captures take a selection.
class LassoView : public QWidget {
    Q_OBJECT
public:
    static constexpr const char* hint = "Circle something, then ask. Esc to cancel.";

    // `backdrop`, when given, is what the display showed, painted beneath the veil.
    explicit LassoView(QWidget* parent = nullptr, const QPixmap& backdrop = {});

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

    QPixmap m_backdrop;
    QList<QPointF> m_points;
};

} // namespace kestrabo
