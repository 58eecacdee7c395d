#include "FakeInput.h"
#include "input/SelectionController.h"
#include "support/TestSupport.h"

#include <QGuiApplication>
#include <QWindow>

#include <gtest/gtest.h>

using namespace kestrabo;
using namespace kestrabo::test;

namespace {

struct Report {
    QScreen* screen;
    QRectF rect;
};

// The overlay on the suite's X server (Qt on xcb), with mouse strokes sent through XTest and
// awaited point by point, so no motion is merged away.
struct SelectionRig {
    SelectionController controller;
    FakeInput input;
    QList<Report> reports;

    SelectionRig()
    {
        controller.onSelection = [this](QScreen* screen, const QRectF& rect) { reports.append({screen, rect}); };
    }

    // Shows the overlay under the pointer and waits until the server shows it.
    SelectionPanel* show(QPoint pointer = QPoint(640, 400))
    {
        input.moveTo(pointer);
        controller.show();
        SelectionPanel* panel = controller.window();
        EXPECT_TRUE(panel && waitUntil([&] { return panel->windowHandle() && panel->windowHandle()->isExposed(); }));
        return panel;
    }

    void stroke(const QList<QPoint>& path, bool releaseButton = true)
    {
        LassoView* canvas = controller.canvas();
        input.moveTo(path.first());
        input.button(true);
        ASSERT_TRUE(waitUntil([&] { return canvas->points().size() == 1; }));
        for (qsizetype i = 1; i < path.size(); ++i) {
            input.moveTo(path[i]);
            ASSERT_TRUE(waitUntil([&] { return canvas->points().size() == i + 1; }));
        }
        if (releaseButton)
            release();
    }

    void release()
    {
        input.button(false);
        spin(150);
    }
};

const QList<QPoint> kBox{{100, 100}, {300, 100}, {300, 250}, {100, 250}};

} // namespace

TEST(Selection, ClicksAndSlimStrokesAreDroppedAndCloseTheOverlay)
{
    SelectionRig rig;
    ASSERT_TRUE(rig.show());
    rig.stroke({{200, 200}}); // down and up: two points
    EXPECT_EQ(rig.controller.window(), nullptr);

    ASSERT_TRUE(rig.show());
    rig.stroke({{100, 300}, {150, 303}, {200, 306}});
    EXPECT_EQ(rig.controller.window(), nullptr);
    EXPECT_TRUE(rig.reports.isEmpty());
}

TEST(Selection, ReportsTheCircleInTheDisplaysPointsFromItsLowerLeftCorner)
{
    SelectionRig rig;
    const quint64 userWindow = rig.input.focusedWindow(QRect(600, 500, 300, 200));
    SelectionPanel* panel = rig.show();
    ASSERT_TRUE(panel);
    EXPECT_EQ(panel->geometry(), QGuiApplication::primaryScreen()->geometry());
    EXPECT_EQ(rig.controller.canvas()->cursor().shape(), Qt::CrossCursor);
    rig.stroke(kBox);
    ASSERT_EQ(rig.reports.size(), 1);
    EXPECT_EQ(rig.reports[0].screen, QGuiApplication::primaryScreen());
    const int height = QGuiApplication::primaryScreen()->geometry().height();
    EXPECT_EQ(rig.reports[0].rect, QRectF(100, height - 250, 200, 150));
    EXPECT_EQ(rig.controller.window(), nullptr);
    // The user's window kept the keyboard throughout.
    EXPECT_EQ(rig.input.inputFocus(), userWindow);
}

TEST(Selection, TheKeyReleaseReportsFirstAndASecondHoldStartsAfresh)
{
    SelectionRig rig;
    QPointer<SelectionPanel> first = rig.show();
    rig.stroke({{10, 10}, {60, 10}}, false);
    QPointer<SelectionPanel> second = rig.show(QPoint(500, 500));
    ASSERT_TRUE(second);
    EXPECT_NE(first, second);
    EXPECT_TRUE(!first || !first->isVisible());
    EXPECT_TRUE(rig.controller.canvas()->points().isEmpty());
    rig.release(); // the first stroke's button, on the new overlay: a click there

    ASSERT_TRUE(rig.show());
    rig.stroke(kBox, false);
    rig.controller.finish(); // the key went up first
    ASSERT_EQ(rig.reports.size(), 1);
    EXPECT_EQ(rig.reports[0].rect.size(), QSizeF(200, 150));
    EXPECT_EQ(rig.controller.window(), nullptr);
    rig.release();
    EXPECT_EQ(rig.reports.size(), 1);
    rig.controller.cancel(); // safe with nothing shown
}

TEST(Selection, TheOverlayShowsTheVeilTheHintAndTheStroke)
{
    SelectionRig rig;
    rig.controller.seeThrough = [] { return true; };
    SelectionPanel* panel = rig.show();
    ASSERT_TRUE(panel);
    rig.stroke({{200, 300}, {500, 300}, {500, 500}, {260, 520}}, false);
    const QImage shot = panel->grab().toImage().convertToFormat(QImage::Format_ARGB32);
    if (const QByteArray path = qgetenv("KESTRABO_OVERLAY_SHOT"); !path.isEmpty())
        shot.save(QString::fromLocal8Bit(path));

    const QColor veil = shot.pixelColor(900, 700);
    EXPECT_EQ(veil.rgb() & 0xffffff, 0u);
    EXPECT_NEAR(veil.alphaF(), 0.12, 0.01);
    const QColor stroke = shot.pixelColor(350, 300);
    EXPECT_EQ(stroke.alpha(), 255);
    EXPECT_NEAR(stroke.redF(), 0.82, 0.01);
    EXPECT_NEAR(stroke.greenF(), 0.95, 0.01);
    EXPECT_NEAR(stroke.blueF(), 0.55, 0.01);
    // The stroke stays open: nothing between its last and first points.
    EXPECT_EQ(shot.pixelColor(230, 410).alpha(), veil.alpha());
    // White hint text in a line whose box ends 80 points below the top, starting 32 in.
    int white = 0;
    for (int y = 50; y < 80; ++y)
        for (int x = 32; x < 400; ++x)
            white += shot.pixel(x, y) == 0xffffffffu;
    EXPECT_GT(white, 50);
    for (int x = 0; x < 32; ++x)
        EXPECT_NE(shot.pixel(x, 70), 0xffffffffu);
    rig.controller.cancel();
}

TEST(Selection, WithoutACompositorTheOverlayShowsWhatLayBeneath)
{
    SelectionRig rig; // Xvfb runs no compositing manager
    rig.input.focusedWindow(QRect(600, 500, 300, 200)); // white
    SelectionPanel* panel = rig.show();
    ASSERT_TRUE(panel);
    const QImage shot = panel->grab().toImage().convertToFormat(QImage::Format_ARGB32);
    const QColor covered = shot.pixelColor(700, 600);
    EXPECT_EQ(covered.alpha(), 255);
    EXPECT_NEAR(covered.redF(), 0.88, 0.01); // white under the 12 % veil
    EXPECT_EQ(qGray(shot.pixel(100, 600)), 0); // Xvfb's black root
    rig.controller.cancel();
}
