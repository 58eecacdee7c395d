#include "FakeInput.h"
#include "input/SelectionController.h"
#include "support/TestSupport.h"

#include <QGuiApplication>
#include <QWindow>

#include <gtest/gtest.h>

using namespace kestrabo;
using namespace kestrabo::test;

namespace {

// The overlay on the suite's X server, with strokes sent through XTest and awaited point by
// point, so no motion is merged away.
struct SelectionRig {
    SelectionController controller;
    FakeInput input;
    QList<QRectF> reports;

    SelectionRig()
    {
        controller.onSelection = [this](QScreen* screen, const QRectF& rect) {
            EXPECT_EQ(screen, QGuiApplication::primaryScreen());
            reports.append(rect);
        };
    }

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

TEST(Selection, ReportsCirclesInDisplayPointsFromTheLowerLeftAndDropsSlips)
{
    SelectionRig rig;
    const quint64 userWindow = rig.input.focusedWindow(QRect(600, 500, 300, 200));
    SelectionPanel* panel = rig.show();
    ASSERT_TRUE(panel);
    EXPECT_EQ(panel->geometry(), QGuiApplication::primaryScreen()->geometry());
    EXPECT_EQ(rig.controller.canvas()->cursor().shape(), Qt::CrossCursor);
    rig.stroke(kBox);
    const int height = QGuiApplication::primaryScreen()->geometry().height();
    EXPECT_EQ(rig.reports, QList<QRectF>({QRectF(100, height - 250, 200, 150)}));
    EXPECT_EQ(rig.controller.window(), nullptr);
    EXPECT_EQ(rig.input.inputFocus(), userWindow); // the user's window kept the keyboard

    // A click (two points) and a 100 × 6 stroke: dropped, and the overlay closes.
    for (const QList<QPoint>& slip : {QList<QPoint>{{200, 200}}, QList<QPoint>{{100, 300}, {150, 303}, {200, 306}}}) {
        ASSERT_TRUE(rig.show());
        rig.stroke(slip);
        EXPECT_EQ(rig.controller.window(), nullptr);
    }
    EXPECT_EQ(rig.reports.size(), 1);
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
    rig.release();

    ASSERT_TRUE(rig.show());
    rig.stroke(kBox, false);
    rig.controller.finish(); // the key went up first
    EXPECT_EQ(rig.reports, QList<QRectF>({QRectF(100, 550, 200, 150)}));
    EXPECT_EQ(rig.controller.window(), nullptr);
    rig.release(); // the mouse-up then finds no overlay
    EXPECT_EQ(rig.reports.size(), 1);
}

TEST(Selection, TheOverlayShowsTheVeilTheHintAndTheStroke)
{
    SelectionRig rig;
    const auto compositing = rig.controller.seeThrough;
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
    EXPECT_NEAR(stroke.greenF(), 0.95, 0.01); // the leaf green of the face
    EXPECT_EQ(shot.pixelColor(230, 410).alpha(), veil.alpha()); // open: not closed back to the start
    // White hint text on a line whose box ends 80 points below the top, 32 points in.
    int white = 0;
    for (int y = 50; y < 80; ++y)
        for (int x = 0; x < 400; ++x)
            white += shot.pixel(x, y) == 0xffffffffu ? (x < 32 ? -1000 : 1) : 0;
    EXPECT_GT(white, 50);
    rig.controller.cancel();

    // Without a compositing manager (Xvfb runs none) the overlay shows what lay beneath.
    rig.controller.seeThrough = compositing;
    rig.input.focusedWindow(QRect(600, 500, 300, 200)); // white
    const QImage still = rig.show()->grab().toImage();
    EXPECT_EQ(qAlpha(still.pixel(700, 600)), 255);
    EXPECT_NEAR(qRed(still.pixel(700, 600)), 0.88 * 255, 3); // white under the 12 % veil
}
