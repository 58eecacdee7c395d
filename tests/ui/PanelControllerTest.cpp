#include "ui/IslandFixture.h"

#include "ui/IslandPanel.h"
#include "ui/IslandView.h"
#include "ui/PanelController.h"

#include <QGuiApplication>
#include <QScreen>
#include <QTest>

using namespace kestrabo;

namespace {

struct Panel : test::IslandFixture {
    bool reduceMotion = false;
    std::unique_ptr<PanelController> controller;

    Panel()
    {
        controller = std::make_unique<PanelController>(
            *model, PanelController::Options{.reduceMotion = [this] { return reduceMotion; }, .listenForButtons = false});
    }
    ~Panel() { controller.reset(); }

    QRect frame() const { return controller->panel().geometry(); }
    bool settle() { return test::waitUntil([this] { return !controller->animating(); }); }
    // Lets the start-up passes (showing the window activates the application) run out.
    void quiet()
    {
        for (int passes = -1; passes != controller->layoutPasses();) {
            passes = controller->layoutPasses();
            test::spin(150);
        }
    }
};

} // namespace

TEST(PanelController, PlacesTheBarAtTheTopCentreAndWidensItForWork)
{
    Panel p;
    const QRect screen = QGuiApplication::primaryScreen()->geometry();
    EXPECT_TRUE(p.controller->panel().isVisible());
    EXPECT_EQ(p.frame().size(), QSize(208, 32));
    EXPECT_EQ(p.frame().top(), screen.top());
    EXPECT_EQ(p.frame().center().x(), screen.center().x());
    EXPECT_EQ(p.controller->currentReveal(), 0);

    p.reduceMotion = true;
    p.startConversation();
    p.model->setExpanded(false);
    ASSERT_TRUE(test::waitUntil([&] { return p.frame().width() == 312; }));
    EXPECT_EQ(p.frame().height(), 32);
    EXPECT_EQ(p.frame().center().x(), screen.center().x());
}

TEST(PanelController, CoalescesChangesAndSkipsPassesThatChangeNothing)
{
    Panel p;
    p.quiet();
    const int before = p.controller->layoutPasses();
    p.model->setExpanded(true);
    p.model->setSettings(true);
    p.controller->resize();
    test::spin(50);
    EXPECT_EQ(p.controller->layoutPasses(), before + 1);
    ASSERT_TRUE(p.settle());
    const QSizeF target = p.controller->targetSize();
    EXPECT_EQ(target, QSizeF(410, 24 + 570 + 8));

    // The same size again: a pass runs, no animation starts and the frame stays.
    const int settled = p.controller->layoutPasses();
    p.controller->resize();
    test::spin(30);
    EXPECT_GT(p.controller->layoutPasses(), settled);
    EXPECT_FALSE(p.controller->animating());
    EXPECT_EQ(p.frame().size(), target.toSize());
}

TEST(PanelController, AnimatesWithEaseOutOrJumpsWhenMotionIsReduced)
{
    Panel p;
    p.model->setExpanded(true);
    ASSERT_TRUE(test::waitUntil([&] { return p.controller->animating(); }));
    // Part way the frame lies between the bar and the card, centred all along.
    ASSERT_TRUE(test::waitUntil([&] { return p.frame().height() > 40; }));
    if (p.controller->animating()) {
        EXPECT_LT(p.frame().height(), 24 + 330 + 8);
        EXPECT_GT(p.controller->currentReveal(), 0);
        EXPECT_LE(p.controller->currentReveal(), 1);
    }
    ASSERT_TRUE(p.settle());
    EXPECT_EQ(p.frame().size(), QSize(410, 24 + 330 + 8));
    EXPECT_EQ(p.controller->currentReveal(), 1);
    EXPECT_EQ(p.controller->view().size(), p.frame().size());

    p.reduceMotion = true;
    p.model->setExpanded(false);
    test::spin(30);
    EXPECT_FALSE(p.controller->animating());
    EXPECT_EQ(p.frame().size(), QSize(208, 32));
    EXPECT_EQ(p.controller->currentReveal(), 0);
}

TEST(PanelController, ClicksOutsideTheExpandedIslandCollapseIt)
{
    Panel p;
    p.reduceMotion = true;
    p.model->setExpanded(true);
    ASSERT_TRUE(test::waitUntil([&] { return p.frame().height() > 300; }));
    p.controller->dismissIfOutside(p.frame().center());
    p.controller->dismissIfOutside(p.frame().bottomRight());
    EXPECT_TRUE(p.model->expanded());
    p.controller->dismissIfOutside(p.frame().bottomRight() + QPoint(1, 1));
    EXPECT_FALSE(p.model->expanded());
    ASSERT_TRUE(test::waitUntil([&] { return p.frame().height() == 32; }));
    // Collapsed, a click anywhere changes nothing.
    p.controller->dismissIfOutside(QPoint(0, 500));
    EXPECT_FALSE(p.model->expanded());
}

TEST(PanelController, EachPressInTheKeyFieldAsksForTheKeyboard)
{
    Panel p;
    p.reduceMotion = true;
    p.model->setExpanded(true);
    p.model->setSettings(true);
    QWidget* field = p.controller->panel().findChild<QWidget*>(QStringLiteral("settings.apiKey"));
    ASSERT_TRUE(field && test::waitUntil([&] { return field->isVisible(); }));
    QTest::mousePress(field, Qt::LeftButton);
    ASSERT_TRUE(test::waitUntil([&] { return p.controller->panel().isActiveWindow(); }));

    // Something else took the keyboard, or the window manager dropped the request: the next
    // press asks again.
    QWidget other;
    other.show();
    other.activateWindow();
    ASSERT_TRUE(test::waitUntil([&] { return other.isActiveWindow(); }));
    QTest::mousePress(field, Qt::LeftButton);
    EXPECT_TRUE(test::waitUntil([&] { return p.controller->panel().isActiveWindow(); }));
}
