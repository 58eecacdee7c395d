#include "input/SelectionController.h"

#include "input/LassoView.h"
#include "platform/linux/X11Desktop.h"
#include "routing/ScreenContext.h"

#include <QVBoxLayout>

namespace kestrabo {

SelectionController::SelectionController(QObject* parent)
    : QObject(parent), seeThrough([] { return x11::compositingManagerRunning(); })
{
}

SelectionController::~SelectionController() { cancel(); }

void SelectionController::show()
{
    cancel();
    QScreen* screen = ScreenContext::currentScreen();
    if (!screen)
        return;
    const bool transparent = !seeThrough || seeThrough();
    auto* panel = new SelectionPanel(screen->geometry(), transparent);
    auto* canvas = new LassoView(panel, transparent ? QPixmap() : screen->grabWindow(0));
    auto* layout = new QVBoxLayout(panel);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(canvas);
    QPointer<SelectionController> self(this);
    canvas->onComplete = [self] {
        if (self)
            self->finish();
    };
    m_window = panel;
    m_canvas = canvas;
    m_screen = screen;
    panel->show();
    panel->raise();
}

void SelectionController::finish()
{
    const std::optional<QRectF> bounds = m_canvas ? m_canvas->selectionBounds() : std::nullopt;
    QScreen* screen = m_screen;
    cancel();
    if (bounds && screen && bounds->width() >= minimumSide && bounds->height() >= minimumSide && onSelection)
        onSelection(screen, *bounds);
}

void SelectionController::cancel()
{
    if (m_window) {
        m_window->hide();
        // Possibly called from inside the view's own mouse handler.
        m_window->deleteLater();
    }
    m_window = nullptr;
    m_canvas = nullptr;
    m_screen = nullptr;
}

} // namespace kestrabo
