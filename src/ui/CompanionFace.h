#pragma once

#include "app/CompanionState.h"

#include <QColor>
#include <QTimer>
#include <QWidget>

class QPainter;

namespace kestrabo {

inline const QColor kLeaf = QColor::fromRgbF(0.82f, 0.95f, 0.55f);
inline const QColor kSecondaryInk = QColor::fromRgbF(0.7f, 0.7f, 0.7f);

// The companion's face: two eyes and a mouth, drawn per frame from the state, the microphone
// level and the time. Repaints only while visible, and only as often as the frame can change.
class CompanionFace : public QWidget {
    Q_OBJECT
public:
    explicit CompanionFace(QWidget* parent = nullptr);

    void setState(CompanionState state);
    void setLevel(float level);
    void setReduceMotion(bool reduceMotion);
    CompanionState state() const { return m_state; }

    // One frame at `t` seconds since 2001-01-01 UTC, scaled into `size`.
    static void paintFrame(QPainter& painter, QSizeF size, CompanionState state, float level, bool reduceMotion,
                           double t);
    // Seconds until the frame drawn at `t` can next look different.
    static double nextChange(CompanionState state, bool reduceMotion, double t);
    static double now();

    QSize sizeHint() const override { return {76, 46}; }

protected:
    void paintEvent(QPaintEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    void schedule();

    CompanionState m_state = CompanionState::idle;
    float m_level = 0;
    bool m_reduceMotion = false;
    QTimer m_frame;
};

} // namespace kestrabo
