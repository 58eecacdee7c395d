#include "ui/PanelController.h"

#include "app/AppModel.h"
#include "platform/PointerButtonListener.h"
#include "platform/ReduceMotion.h"
#include "tasks/ComputerTask.h"
#include "ui/IslandMetrics.h"
#include "ui/IslandPanel.h"
#include "ui/IslandView.h"

#include <QApplication>
#include <QCursor>
#include <QGuiApplication>
#include <QScreen>

#include <cmath>

namespace kestrabo {

PanelController::PanelController(AppModel& model) : PanelController(model, Options{}) {}

PanelController::PanelController(AppModel& model, Options options)
    : QObject(&model),
      m_model(model),
      m_reduceMotion(options.reduceMotion ? std::move(options.reduceMotion) : [] { return platform::reduceMotion(); }),
      m_panel(std::make_unique<IslandPanel>())
{
    m_view = new IslandView(model, m_panel.get());
    m_view->setMetrics({190, 32, 32}, 760);
    QPointer<PanelController> self(this);
    m_view->onResize = [self] {
        if (self)
            self->resize();
    };
    m_view->onTypingWanted = [self](bool wanted) {
        if (self)
            self->m_panel->setAcceptsFocus(wanted);
    };

    m_revealTimer.setTimerType(Qt::PreciseTimer);
    m_revealTimer.setInterval(island::kFrameIntervalMs);
    connect(&m_revealTimer, &QTimer::timeout, this, &PanelController::tick);

    const auto refresh = [self] {
        if (!self)
            return;
        self->m_model.refreshPermissions();
        self->resize();
    };
    connect(qApp, &QGuiApplication::screenAdded, this, [this, refresh](QScreen* screen) {
        watchScreen(screen);
        refresh();
    });
    connect(qApp, &QGuiApplication::screenRemoved, this, refresh);
    connect(qApp, &QGuiApplication::primaryScreenChanged, this, refresh);
    for (QScreen* screen : QGuiApplication::screens())
        watchScreen(screen);
    // The panel activates the application only while the key field takes typing; losing that
    // means the user turned to another application.
    connect(qApp, &QGuiApplication::applicationStateChanged, this, [this, refresh](Qt::ApplicationState state) {
        if (m_applicationActive && state != Qt::ApplicationActive)
            m_model.setExpanded(false);
        m_applicationActive = state == Qt::ApplicationActive;
        refresh();
    });

    m_buttons = options.buttons ? std::move(options.buttons)
                                : (options.listenForButtons ? makePointerButtonListener() : nullptr);
    if (m_buttons)
        m_buttons->onPress = [self] {
            if (self)
                self->dismissIfOutside(QCursor::pos());
        };
    if (options.listenForButtons)
        m_activations = makeActivationListener();
    if (m_activations)
        m_activations->onOtherApplicationActivated = [self, refresh] {
            if (!self)
                return;
            self->m_model.setExpanded(false);
            refresh();
        };

    // The first pass runs now, so the panel shows at its size rather than growing into it.
    layout();
    m_panel->show();
    m_panel->raise();
}

PanelController::~PanelController()
{
    m_revealTimer.stop();
    m_buttons.reset();
    m_activations.reset();
}

void PanelController::watchScreen(QScreen* screen)
{
    connect(screen, &QScreen::geometryChanged, this, [this] {
        m_model.refreshPermissions();
        resize();
    });
}

void PanelController::resize()
{
    if (m_resizePending)
        return;
    m_resizePending = true;
    QMetaObject::invokeMethod(this, &PanelController::layout, Qt::QueuedConnection);
}

void PanelController::layout()
{
    m_resizePending = false;
    ++m_layoutPasses;
    // Linux screens report no safe area at the top, so the primary screen always holds the island.
    QScreen* screen = QGuiApplication::primaryScreen();
    if (!screen)
        return;
    m_display = screen;
    m_notch = NotchGeometry::measure(0, std::nullopt, std::nullopt);
    m_view->setMetrics(m_notch, island::maximumHeight(screen->geometry().height()));

    const bool expanded = m_model.expanded();
    const bool busy = m_model.active() || m_model.runningTaskCount() > 0;
    const QSizeF size = island::panelSize(m_notch, expanded, busy, m_view->contentHeight());
    m_targetReveal = expanded ? 1 : 0;
    if (size == m_targetSize)
        return;
    m_targetSize = size;
    m_revealTimer.stop();

    const bool reduce = m_reduceMotion();
    m_view->setReduceMotion(reduce);
    if (m_panel->isVisible() && m_panel->width() > 0 && !reduce) {
        m_revealClock.start();
        m_startSize = m_panel->size();
        m_startReveal = m_currentReveal;
        m_revealTimer.start();
        tick();
        return;
    }
    m_currentReveal = m_targetReveal;
    m_view->setReveal(m_currentReveal);
    place(size);
}

void PanelController::tick()
{
    const double elapsed = double(m_revealClock.nsecsElapsed()) / 1e9;
    const double t = island::eased(elapsed);
    const QSizeF size(m_startSize.width() + (m_targetSize.width() - m_startSize.width()) * t,
                      m_startSize.height() + (m_targetSize.height() - m_startSize.height()) * t);
    m_currentReveal = m_startReveal + (m_targetReveal - m_startReveal) * t;
    m_view->setReveal(m_currentReveal);
    place(size);
    if (elapsed >= island::kRevealSeconds)
        m_revealTimer.stop();
}

void PanelController::place(QSizeF size)
{
    if (!m_display)
        return;
    const QRect screen = m_display->geometry();
    const int width = int(std::lround(size.width()));
    const int height = int(std::lround(size.height()));
    const QRect frame(screen.x() + screen.width() / 2 - width / 2, screen.y(), width, height);
    m_panel->place(frame);
    m_view->setGeometry(0, 0, width, height);
}

void PanelController::dismissIfOutside(QPoint globalPoint)
{
    if (!m_model.expanded() || m_panel->geometry().contains(globalPoint))
        return;
    // A click in one of the island's own popups (the conversation key menu) keeps it open.
    for (QWidget* window = QApplication::topLevelAt(globalPoint); window; window = window->parentWidget())
        if (window == m_panel.get())
            return;
    m_model.setExpanded(false);
    resize();
}

} // namespace kestrabo
