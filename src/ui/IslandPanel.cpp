#include "ui/IslandPanel.h"

#include "platform/PanelWindowHints.h"

#include <QMoveEvent>
#include <QTimer>
#include <QWindow>

namespace kestrabo {

IslandPanel::IslandPanel()
{
    setWindowFlags(Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint | Qt::NoDropShadowWindowHint
                   | Qt::WindowDoesNotAcceptFocus);
    setAttribute(Qt::WA_TranslucentBackground);
    setAttribute(Qt::WA_ShowWithoutActivating);
    setAttribute(Qt::WA_X11NetWmWindowTypeUtility);
    setWindowTitle(QStringLiteral("Kestrabo"));
    setFocusPolicy(Qt::NoFocus);
}

void IslandPanel::place(const QRect& frame)
{
    m_placed = frame;
    m_corrections = 0;
    setGeometry(frame);
}

void IslandPanel::setAcceptsFocus(bool accepts)
{
    QWindow* window = windowHandle();
    if (accepts == m_acceptsFocus) {
        // Another press in the field: the window manager may have dropped the first request.
        if (accepts && window && !window->isActive())
            window->requestActivate();
        return;
    }
    m_acceptsFocus = accepts;
    // Through the window handle, so the flag changes without hiding and re-showing the widget.
    if (window) {
        window->setFlag(Qt::WindowDoesNotAcceptFocus, !accepts);
        platform::applyPanelWindowHints(winId()); // the toolkit rewrote them with the flags
        if (accepts)
            window->requestActivate();
    } else {
        setWindowFlag(Qt::WindowDoesNotAcceptFocus, !accepts);
    }
}

void IslandPanel::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    platform::applyPanelWindowHints(winId());
}

void IslandPanel::moveEvent(QMoveEvent* event)
{
    QWidget::moveEvent(event);
    // A window manager that keeps the top edge for its own panel moves us on purpose; after two
    // corrections its place stands, rather than fighting it forever.
    if (m_placed.isValid() && event->pos() != m_placed.topLeft() && m_corrections < 2)
        QTimer::singleShot(0, this, [this] {
            if (m_placed.isValid() && pos() != m_placed.topLeft() && m_corrections < 2) {
                ++m_corrections;
                move(m_placed.topLeft());
            }
        });
}

} // namespace kestrabo
