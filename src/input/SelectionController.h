#pragma once

#include "input/LassoView.h"

#include <QObject>
#include <QPointer>
#include <QRectF>
#include <QScreen>

#include <functional>

namespace kestrabo {

// The lasso overlay shown while the shortcut key is held: covers the display under the pointer,
// and reports the circle drawn on it when the mouse button or the key goes up, whichever is
// first. Main thread only.
class SelectionController : public QObject {
    Q_OBJECT
public:
    // Smaller circles are taken for slips and dropped.
    static constexpr qreal minimumSide = 8;

    explicit SelectionController(QObject* parent = nullptr);
    ~SelectionController() override;

    // The display and the circle's bounds in its own points, origin at its lower-left corner.
    std::function<void(QScreen* screen, const QRectF& rect)> onSelection;
    // Whether a see-through overlay shows the display beneath it; else it shows a still
    // picture of the display taken as it opens.
    std::function<bool()> seeThrough;

    void show();
    void finish();
    void cancel();

    SelectionPanel* window() const { return m_window; }
    LassoView* canvas() const { return m_canvas; }
    QScreen* screen() const { return m_screen; }

private:
    QPointer<SelectionPanel> m_window;
    QPointer<LassoView> m_canvas;
    QPointer<QScreen> m_screen;
};

} // namespace kestrabo
