#include "ui/IslandView.h"

#include "app/AppModel.h"
#include "tasks/ComputerTask.h"
#include "ui/CompanionFace.h"
#include "ui/ConversationPage.h"
#include "ui/IslandButtonStyle.h"
#include "ui/IslandIcons.h"
#include "ui/IslandMetrics.h"
#include "ui/IslandWidgets.h"
#include "ui/SettingsPage.h"

#include <QEvent>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPainterPath>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QStackedWidget>
#include <QVBoxLayout>

namespace kestrabo {

using island::Ink;

namespace {

constexpr int kCardMargin = 18;

QScrollArea* scrolling(QWidget* page, QWidget* parent)
{
    auto* area = new QScrollArea(parent);
    area->setFrameShape(QFrame::NoFrame);
    area->setWidgetResizable(true);
    area->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    area->setWidget(page);
    area->viewport()->setAutoFillBackground(false);
    area->verticalScrollBar()->setStyleSheet(QStringLiteral(
        "QScrollBar:vertical { width: 6px; background: transparent; margin: 0; }"
        "QScrollBar::handle:vertical { background: rgba(255, 255, 255, 70); border-radius: 3px; min-height: 24px; }"
        "QScrollBar::add-line, QScrollBar::sub-line, QScrollBar::add-page, QScrollBar::sub-page "
        "{ height: 0; background: transparent; }"));
    page->setAutoFillBackground(false);
    return area;
}

} // namespace

IslandView::IslandView(AppModel& model, QWidget* parent)
    : QWidget(parent), m_model(model), m_style(std::make_unique<IslandButtonStyle>())
{
    setAttribute(Qt::WA_TranslucentBackground);
    QPalette dark = palette();
    dark.setColor(QPalette::WindowText, Qt::white);
    dark.setColor(QPalette::Text, Qt::white);
    dark.setColor(QPalette::ButtonText, Qt::white);
    dark.setColor(QPalette::Base, QColor(38, 38, 40));
    dark.setColor(QPalette::Window, QColor(0, 0, 0));
    dark.setColor(QPalette::Button, QColor(52, 52, 56));
    dark.setColor(QPalette::Highlight, QColor(120, 150, 70));
    dark.setColor(QPalette::PlaceholderText, QColor(140, 140, 140));
    setPalette(dark);
    QFont body = font();
    body.setPixelSize(12);
    setFont(body);

    buildBar();
    buildCard();
    for (QWidget* child : findChildren<QWidget*>())
        child->setStyle(m_style.get());

    m_hoverOpenTask.setSingleShot(true);
    connect(&m_hoverOpenTask, &QTimer::timeout, this, [this] {
        if (m_faceHovered && !m_suppressHoverUntilExit && !m_model.expanded())
            m_model.setExpanded(true);
    });
    connect(&m_model, &AppModel::changed, this, &IslandView::sync);
    sync();
}

IslandView::~IslandView()
{
    // Children use the style while they go; let them go first.
    qDeleteAll(findChildren<QWidget*>(QString(), Qt::FindDirectChildrenOnly));
}

void IslandView::buildBar()
{
    m_bar = new QWidget(this);
    auto* line = new QHBoxLayout(m_bar);
    line->setContentsMargins(0, 0, 0, 0);
    line->setSpacing(0);
    m_open = island::button(m_bar, QString());
    m_open->setObjectName(QStringLiteral("bar.open"));
    m_open->setFlat(true);
    m_expand = island::button(m_bar, QString());
    m_expand->setObjectName(QStringLiteral("bar.expand"));
    m_expand->setFlat(true);
    for (QPushButton* side : {m_open, m_expand}) {
        side->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
        connect(side, &QPushButton::clicked, this, [this] { m_model.setExpanded(!m_model.expanded()); });
        line->addWidget(side);
    }
    // The face sits over the left side; it hands clicks to the button below it.
    m_barFace = new CompanionFace(m_open);
    m_barFace->setFixedSize(38, 23);
    auto* inside = new QHBoxLayout(m_open);
    inside->setContentsMargins(0, 0, 0, 0);
    inside->addWidget(m_barFace, 0, Qt::AlignCenter);
    m_barFace->setAttribute(Qt::WA_TransparentForMouseEvents, false);
    m_barFace->setAttribute(Qt::WA_Hover);
    m_barFace->installEventFilter(this);
}

void IslandView::buildCard()
{
    m_card = new QWidget(this);
    auto* column = new QVBoxLayout(m_card);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(8);

    auto* title = new QHBoxLayout;
    title->setSpacing(8);
    m_titleFace = new CompanionFace(m_card);
    title->addWidget(m_titleFace);
    auto* names = new QVBoxLayout;
    names->setSpacing(0);
    names->addStretch(1);
    QLabel* name = island::text(m_card, QStringLiteral("Kestrabo"), 15, QFont::DemiBold);
    name->setWordWrap(false);
    names->addWidget(name);
    m_status = island::text(m_card, QString(), 11, QFont::Normal, Ink::secondary);
    m_status->setObjectName(QStringLiteral("title.status"));
    m_status->setWordWrap(false);
    names->addWidget(m_status);
    names->addStretch(1);
    title->addLayout(names, 1);
    m_hide = island::iconButton(m_card, QStringLiteral("chevron.up"), QStringLiteral("Hide Kestrabo"),
                                QStringLiteral("Collapse to the compact bar"));
    m_hide->setObjectName(QStringLiteral("title.hide"));
    m_hide->setText(QStringLiteral("Hide"));
    m_hide->setProperty("iconOnly", false);
    connect(m_hide, &QPushButton::clicked, this, [this] { m_model.setExpanded(false); });
    m_settingsButton = island::iconButton(m_card, QStringLiteral("gearshape"), QString(), QString());
    m_settingsButton->setObjectName(QStringLiteral("title.settings"));
    connect(m_settingsButton, &QPushButton::clicked, this, [this] { m_model.setSettings(!m_model.settings()); });
    m_quit = island::iconButton(m_card, QStringLiteral("power"), QStringLiteral("Quit Kestrabo and stop all tasks"),
                                QStringLiteral("Quit Kestrabo and stop all tasks"));
    m_quit->setObjectName(QStringLiteral("title.quit"));
    connect(m_quit, &QPushButton::clicked, this, [this] { m_model.quit(); });
    title->addWidget(m_hide);
    title->addWidget(m_settingsButton);
    title->addWidget(m_quit);
    column->addLayout(title);

    m_pages = new QStackedWidget(m_card);
    m_conversation = new ConversationPage(m_model, nullptr);
    m_settingsPage = new SettingsPage(m_model, nullptr);
    m_pages->addWidget(scrolling(m_conversation, m_pages));
    m_pages->addWidget(scrolling(m_settingsPage, m_pages));
    column->addWidget(m_pages, 1);
    m_settingsPage->keyField()->installEventFilter(this);
}

void IslandView::setMetrics(const NotchGeometry& notch, double maximumHeight)
{
    m_notch = notch;
    m_maximumHeight = maximumHeight;
    layoutBar();
}

void IslandView::setReveal(double progress)
{
    if (progress == m_reveal)
        return;
    m_reveal = progress;
    update();
}

void IslandView::setReduceMotion(bool reduceMotion)
{
    m_reduceMotion = reduceMotion;
    m_barFace->setReduceMotion(reduceMotion);
    m_titleFace->setReduceMotion(reduceMotion);
}

void IslandView::setBuild(const QString& buildLabel, std::function<void()> relaunch)
{
    m_settingsPage->setBuild(buildLabel, std::move(relaunch));
}

double IslandView::contentHeight() const
{
    return island::contentHeight({.settings = m_model.settings(),
                                  .captions = !m_model.captions().isEmpty(),
                                  .sessions = !m_model.taskManager().sessions().isEmpty(),
                                  .audioNotice = m_model.audioNotice().has_value(),
                                  .error = m_model.error().has_value()},
                                 m_maximumHeight, m_notch.notchHeight);
}

void IslandView::sync()
{
    const bool expanded = m_model.expanded();
    if (m_wasExpanded && !expanded) {
        // A collapse under the pointer must not reopen at once.
        m_suppressHoverUntilExit = true;
        m_hoverOpenTask.stop();
        if (onTypingWanted)
            onTypingWanted(false);
    }
    m_wasExpanded = expanded;

    const QString collapse = QStringLiteral("Collapse Kestrabo");
    m_open->setAccessibleName(expanded ? collapse : QStringLiteral("Open Kestrabo"));
    m_expand->setAccessibleName(expanded ? collapse : QStringLiteral("Expand Kestrabo"));
    m_bar->setVisible(!expanded);
    // At rest the right side is 96 wide; with work under way the bar widens on both sides.
    const bool busy = m_model.active() || m_model.runningTaskCount() > 0;
    m_expand->setMinimumWidth(busy ? 0 : 96);
    m_expand->setMaximumWidth(busy ? QWIDGETSIZE_MAX : 96);
    m_card->setVisible(expanded);

    const CompanionState state = m_model.state();
    for (CompanionFace* face : {m_barFace, m_titleFace}) {
        face->setState(state);
        face->setLevel(m_model.level());
    }
    m_status->setText(label(state));
    const bool settings = m_model.settings();
    m_settingsButton->setIcon(island::icon(settings ? QStringLiteral("xmark") : QStringLiteral("gearshape")));
    const QString settingsLabel = settings ? QStringLiteral("Close settings") : QStringLiteral("Open settings");
    m_settingsButton->setAccessibleName(settingsLabel);
    m_settingsButton->setToolTip(settingsLabel);
    m_pages->setCurrentIndex(settings ? 1 : 0);
    if (expanded) {
        // Only the shown page follows the model; the other catches up when it shows.
        if (settings)
            m_settingsPage->sync();
        else
            m_conversation->sync();
    }
    if (expanded && !m_model.settings()) {
        // A question form's field takes the keyboard once pressed, like the key field.
        const QList<QWidget*> answerFields = m_conversation->answerFields();
        for (QWidget* field : std::as_const(answerFields))
            field->installEventFilter(this);
        if (answerFields.isEmpty() && onTypingWanted)
            onTypingWanted(false);
    }

    const QString sizeKey = QStringLiteral("%1%2%3 %4 %5")
                                .arg(int(expanded))
                                .arg(int(settings))
                                .arg(int(m_model.active() || m_model.runningTaskCount() > 0))
                                .arg(contentHeight())
                                .arg(m_model.taskManager().sessions().size());
    if (sizeKey != m_sizeKey) {
        m_sizeKey = sizeKey;
        if (onResize)
            onResize();
    }
}

void IslandView::layoutBar()
{
    m_bar->setGeometry(0, 0, width(), int(m_notch.collapsedHeight));
    const int top = 10;
    m_card->setGeometry(kCardMargin, top, std::max(0, width() - 2 * kCardMargin), std::max(0, height() - top - 12));
}

void IslandView::resizeEvent(QResizeEvent*) { layoutBar(); }

void IslandView::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const bool expanded = m_model.expanded();
    const double radius = expanded ? 10 + 14 * m_reveal : height() / 2.0;
    // Square at the top, where the island meets the screen's edge; round below.
    QPainterPath shape;
    shape.addRoundedRect(QRectF(0, -radius, width(), height() + radius), radius, radius);
    painter.fillPath(shape, QColor(0, 0, 0, 250));
}

bool IslandView::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == m_barFace) {
        if (event->type() == QEvent::Enter || event->type() == QEvent::HoverEnter) {
            m_faceHovered = true;
            if (!m_suppressHoverUntilExit && !m_model.expanded())
                m_hoverOpenTask.start(hoverOpenDelayMs);
        } else if (event->type() == QEvent::Leave || event->type() == QEvent::HoverLeave) {
            m_faceHovered = false;
            m_suppressHoverUntilExit = false;
            m_hoverOpenTask.stop();
        } else if (event->type() == QEvent::MouseButtonRelease) {
            m_model.setExpanded(!m_model.expanded());
            return true;
        }
    } else if (event->type() == QEvent::MouseButtonPress && onTypingWanted) {
        onTypingWanted(true);
    }
    return QWidget::eventFilter(watched, event);
}

} // namespace kestrabo
