#pragma once

#include <QWidget>

namespace kestrabo {

// The island's window: frameless, translucent, above normal windows, on every desktop, out of
// the taskbar, and never moved by anyone but its controller. It takes keyboard focus only
// while the key field asks for typing.
class IslandPanel : public QWidget {
    Q_OBJECT
public:
    IslandPanel();

    // The frame the controller placed; a move by anyone else is undone.
    void place(const QRect& frame);
    QRect placed() const { return m_placed; }

    void setAcceptsFocus(bool accepts);
    bool acceptsFocus() const { return m_acceptsFocus; }

protected:
    void moveEvent(QMoveEvent* event) override;
    void showEvent(QShowEvent* event) override;

private:
    QRect m_placed;
    int m_corrections = 0;
    bool m_acceptsFocus = false;
};

} // namespace kestrabo
