#include "ui/CompanionFace.h"

#include <QImage>
#include <QPainter>

#include <gtest/gtest.h>

#include <cmath>

using namespace kestrabo;

namespace {

constexpr int kScale = 4;

// One frame at four times the face's size, so a point of the drawing space is 4 × 4 pixels.
struct Frame {
    QImage image{76 * kScale, 46 * kScale, QImage::Format_ARGB32_Premultiplied};

    Frame(CompanionState state, double t, float level = 0, bool reduceMotion = false)
    {
        image.fill(Qt::transparent);
        QPainter painter(&image);
        CompanionFace::paintFrame(painter, image.size(), state, level, reduceMotion, t);
    }

    // The pixel at a point of the face's 76 × 46 drawing space.
    QColor at(double x, double y) const { return image.pixelColor(int(x * kScale), int(y * kScale)); }
    bool inked(double x, double y) const { return at(x, y).alpha() > 200; }
    bool empty(double x, double y) const { return at(x, y).alpha() == 0; }
};

// Times well away from a blink.
constexpr double kOpen = 1.0;
constexpr double kBlink = 5.8 * 3 + 0.07;

} // namespace

TEST(CompanionFace, EyesBlinkForAFractionOfEachPeriodUnlessMotionIsReduced)
{
    const Frame open(CompanionState::idle, kOpen);
    EXPECT_TRUE(open.inked(27, 14));
    EXPECT_EQ(open.at(27, 20).rgb(), kLeaf.rgb());

    const Frame blink(CompanionState::idle, kBlink);
    EXPECT_TRUE(blink.empty(27, 14));
    EXPECT_TRUE(blink.inked(27, 23));

    const Frame still(CompanionState::idle, kBlink, 0, true);
    EXPECT_TRUE(still.inked(27, 14));
}

TEST(CompanionFace, GazeMovesTheEyesOnlyWhileConnectingOrLooking)
{
    const double t = M_PI / 4 + M_PI; // sin(2t) = 1: two units to the right, eyes open
    for (const CompanionState state : {CompanionState::connecting, CompanionState::looking}) {
        const Frame frame(state, t);
        EXPECT_TRUE(frame.empty(22.5, 20)) << label(state).toStdString();
        EXPECT_TRUE(frame.inked(33.5, 20));
        EXPECT_TRUE(frame.inked(59.5, 20));
    }
    const Frame idle(CompanionState::idle, t);
    EXPECT_TRUE(idle.inked(22.5, 20));
    EXPECT_TRUE(idle.empty(33.5, 20));
    const Frame reduced(CompanionState::connecting, t, 0, true);
    EXPECT_TRUE(reduced.inked(22.5, 20));
}

TEST(CompanionFace, MouthOpensWithSpeechAndSmilesOtherwise)
{
    const double closed = M_PI / 13 * 20; // |sin(13t)| = 0: height 4
    const double wide = closed + M_PI / 26; // |sin(13t)| = 1: height 9
    EXPECT_TRUE(Frame(CompanionState::speaking, closed).empty(38.5, 38.5));
    EXPECT_TRUE(Frame(CompanionState::speaking, wide).inked(38.5, 40.5));
    const Frame fixed(CompanionState::speaking, wide, 0, true); // a fixed 5 high
    EXPECT_TRUE(fixed.inked(38.5, 37.5));
    EXPECT_TRUE(fixed.empty(38.5, 38.5));

    // The smile's lowest point is (38, 36.5); nothing is drawn inside its curve.
    const Frame smile(CompanionState::idle, kOpen);
    EXPECT_TRUE(smile.inked(38, 36.5));
    EXPECT_TRUE(smile.empty(38, 34.2));
}

TEST(CompanionFace, LevelBarsShowOnlyWhileListening)
{
    // Level 0.5: the third bar is 12 high, from y 17 to 29.
    const Frame loud(CompanionState::listening, kOpen, 0.5f);
    EXPECT_GT(loud.at(12, 28.5).alpha(), 150);
    EXPECT_TRUE(loud.empty(12, 29.5));
    const Frame quiet(CompanionState::listening, kOpen, 0);
    EXPECT_TRUE(quiet.empty(12, 28.5));
    EXPECT_GT(quiet.at(12, 23).alpha(), 150);
    EXPECT_TRUE(Frame(CompanionState::speaking, kOpen, 0.5f).empty(12, 23));
}

TEST(CompanionFace, FailedInkAndScaling)
{
    const Frame failed(CompanionState::failed, kOpen);
    EXPECT_EQ(failed.at(27, 20).rgb(), QColor::fromRgbF(1.0f, 0.65f, 0.5f).rgb());

    // A canvas twice as wide as tall scales by its height and keeps the face's proportions.
    QImage wide(304, 46, QImage::Format_ARGB32_Premultiplied);
    wide.fill(Qt::transparent);
    QPainter painter(&wide);
    CompanionFace::paintFrame(painter, wide.size(), CompanionState::idle, 0, false, kOpen);
    painter.end();
    EXPECT_GT(wide.pixelColor(27, 20).alpha(), 200);
    EXPECT_EQ(wide.pixelColor(100, 20).alpha(), 0);
}

TEST(CompanionFace, RepaintsOnlyAsOftenAsTheFrameCanChange)
{
    // At rest only the blink moves: the next frame is due at its edge.
    EXPECT_NEAR(CompanionFace::nextChange(CompanionState::idle, false, 1.0), 4.8, 1e-9);
    EXPECT_NEAR(CompanionFace::nextChange(CompanionState::listening, false, 5.8 + 0.04), 0.1, 1e-9);
    EXPECT_EQ(CompanionFace::nextChange(CompanionState::speaking, false, 1.0), 0.05);
    EXPECT_EQ(CompanionFace::nextChange(CompanionState::connecting, false, 1.0), 0.05);
    EXPECT_TRUE(std::isinf(CompanionFace::nextChange(CompanionState::speaking, true, 1.0)));
}
