#pragma once

#include "ui/NotchGeometry.h"

#include <QPointer>
#include <QTimer>
#include <QWidget>

#include <functional>
#include <memory>

class QLabel;
class QLineEdit;
class QPushButton;
class QStackedWidget;
class QStyle;

namespace kestrabo {

class AppModel;
class CompanionFace;
class ConversationPage;
class SettingsPage;

// The island's root view: the compact bar around the notch, or the expanded card with its
// title bar and one page (conversation or settings). Reads the model and calls its operations;
// its own state is only the hover-to-open bookkeeping.
class IslandView : public QWidget {
    Q_OBJECT
public:
    explicit IslandView(AppModel& model, QWidget* parent = nullptr);
    ~IslandView() override;

    // Asks the panel to lay out again; called whenever something that sizes the island changes.
    std::function<void()> onResize;
    // The key field wants typing (true) or no longer needs it (false).
    std::function<void(bool)> onTypingWanted;

    void setMetrics(const NotchGeometry& notch, double maximumHeight);
    void setReveal(double progress);
    void setReduceMotion(bool reduceMotion);
    // What the settings page shows of the build, and how "Reopen Kestrabo" relaunches.
    void setBuild(const QString& buildLabel, std::function<void()> relaunch);

    double contentHeight() const;
    double revealProgress() const { return m_reveal; }

    // Hover-to-open waits this long on the face; tests shorten it.
    int hoverOpenDelayMs = 450;

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void buildBar();
    void buildCard();
    void sync();
    void layoutBar();

    AppModel& m_model;
    std::unique_ptr<QStyle> m_style;
    NotchGeometry m_notch;
    double m_maximumHeight = 760;
    double m_reveal = 1;
    bool m_reduceMotion = false;

    QWidget* m_bar = nullptr;
    QPushButton* m_open = nullptr;
    QPushButton* m_expand = nullptr;
    CompanionFace* m_barFace = nullptr;

    QWidget* m_card = nullptr;
    CompanionFace* m_titleFace = nullptr;
    QLabel* m_status = nullptr;
    QPushButton* m_hide = nullptr;
    QPushButton* m_settingsButton = nullptr;
    QPushButton* m_quit = nullptr;
    QStackedWidget* m_pages = nullptr;
    ConversationPage* m_conversation = nullptr;
    SettingsPage* m_settingsPage = nullptr;

    // Sizing facts of the last sync; a change asks the panel to lay out again.
    QString m_sizeKey;
    bool m_wasExpanded = false;
    bool m_faceHovered = false;
    bool m_suppressHoverUntilExit = false;
    QTimer m_hoverOpenTask;
};

} // namespace kestrabo
