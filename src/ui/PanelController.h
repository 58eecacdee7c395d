#pragma once

#include "platform/ActivationListener.h"
#include "platform/PointerButtonListener.h"
#include "ui/NotchGeometry.h"

#include <QElapsedTimer>
#include <QObject>
#include <QPointer>
#include <QSizeF>
#include <QTimer>

#include <functional>
#include <memory>

class QScreen;

namespace kestrabo {

class AppModel;
class IslandPanel;
class IslandView;
class PointerButtonListener;

// Owns the island's window and view, sizes and places it at the top centre of the screen,
// animates between the bar and the card, and collapses the card when the user clicks outside
// it or turns to another application.
class PanelController : public QObject {
    Q_OBJECT
public:
    struct Options {
        // Read on every layout pass; the desktop's setting unless a test says otherwise.
        std::function<bool()> reduceMotion;
        // Where clicks outside come from; absent means the desktop's own listener.
        std::unique_ptr<PointerButtonListener> buttons;
        // Clicks outside and other applications' activations, seen on the desktop.
        bool listenForButtons = true;
    };

    PanelController(AppModel& model, Options options);
    explicit PanelController(AppModel& model);
    ~PanelController() override;

    // Queues one layout pass; more requests in the same turn share it.
    void resize();
    void dismissIfOutside(QPoint globalPoint);

    IslandPanel& panel() const { return *m_panel; }
    IslandView& view() const { return *m_view; }
    QSizeF targetSize() const { return m_targetSize; }
    double currentReveal() const { return m_currentReveal; }
    bool animating() const { return m_revealTimer.isActive(); }
    int layoutPasses() const { return m_layoutPasses; }

private:
    void layout();
    void tick();
    void place(QSizeF size);
    void watchScreen(QScreen* screen);

    AppModel& m_model;
    std::function<bool()> m_reduceMotion;
    std::unique_ptr<IslandPanel> m_panel;
    IslandView* m_view = nullptr;
    std::unique_ptr<PointerButtonListener> m_buttons;
    std::unique_ptr<ActivationListener> m_activations;
    bool m_resizePending = false;
    bool m_applicationActive = false;
    QPointer<QScreen> m_display;
    NotchGeometry m_notch;
    QTimer m_revealTimer;
    QElapsedTimer m_revealClock;
    QSizeF m_startSize;
    double m_startReveal = 1;
    double m_targetReveal = 1;
    double m_currentReveal = 1;
    QSizeF m_targetSize{0, 0};
    int m_layoutPasses = 0;
};

} // namespace kestrabo
