#include "ui/IslandMetrics.h"

#include <gtest/gtest.h>

using namespace kestrabo;

TEST(NotchGeometry, MeasuresANotchOnlyWhenBothStripsLeaveAGap)
{
    const QRectF left(0, 0, 660, 37), right(845, 0, 667, 37);
    EXPECT_EQ(NotchGeometry::measure(37, left, right), (NotchGeometry{185, 37, 37}));
    const NotchGeometry none{120, 24, 32};
    EXPECT_EQ(NotchGeometry::measure(0, left, right), none);
    EXPECT_EQ(NotchGeometry::measure(37, left, std::nullopt), none);
    EXPECT_EQ(NotchGeometry::measure(37, std::nullopt, right), none);
    // Touching or overlapping strips leave no notch between them.
    EXPECT_EQ(NotchGeometry::measure(37, QRectF(0, 0, 845, 37), right), none);
    EXPECT_EQ(NotchGeometry::measure(37, QRectF(0, 0, 900, 37), right), none);
}

TEST(IslandMetrics, PanelSizeFollowsTheNotchAndTheWork)
{
    const NotchGeometry none = NotchGeometry::measure(0, std::nullopt, std::nullopt);
    EXPECT_EQ(island::panelSize(none, false, false, 330), QSizeF(208, 32));
    EXPECT_EQ(island::panelSize(none, false, true, 330), QSizeF(312, 32));
    EXPECT_EQ(island::panelSize(none, true, false, 330), QSizeF(410, 24 + 330 + 8));
    const NotchGeometry wide{250, 37, 37};
    EXPECT_EQ(island::panelSize(wide, false, false, 0), QSizeF(338, 37));
    EXPECT_EQ(island::panelSize(wide, true, true, 500), QSizeF(442, 37 + 500 + 8));
}

TEST(IslandMetrics, ContentHeightIsCutToTheScreenButNeverBelow180)
{
    EXPECT_EQ(island::maximumHeight(900), 760);
    EXPECT_EQ(island::maximumHeight(720), 672);
    const double tall = island::maximumHeight(900);
    struct Case {
        island::ContentNeeds needs;
        double maximum;
        double expected;
    } cases[] = {
        {{.settings = true}, tall, 570},
        {{.settings = true}, island::maximumHeight(300), 252 - 24 - 8},
        {{.settings = true}, island::maximumHeight(150), 180},
        {{}, tall, 330},
        {{.captions = true}, tall, 470},
        {{.sessions = true, .audioNotice = true}, tall, 330 + 210 + 44},
        {{.error = true}, tall, 394},
        // 470 + 210 + 44 + 64 = 788 asks for more than the screen has.
        {{.captions = true, .sessions = true, .audioNotice = true, .error = true}, tall, 760 - 24 - 8},
        // The settings page wins over everything the conversation holds.
        {{.settings = true, .captions = true, .error = true}, tall, 570},
    };
    for (const Case& c : cases)
        EXPECT_EQ(island::contentHeight(c.needs, c.maximum, 24), c.expected) << c.expected;
}

TEST(IslandMetrics, RevealEasesOutAndDurationReadsMinutesAndSeconds)
{
    EXPECT_EQ(island::eased(0), 0);
    EXPECT_DOUBLE_EQ(island::eased(0.16), 0.875);
    EXPECT_EQ(island::eased(0.32), 1);
    EXPECT_EQ(island::eased(5), 1);
    EXPECT_GT(island::eased(0.08), 0.5); // ease-out: most of the way early

    EXPECT_EQ(island::durationText(59.9), QStringLiteral("0:59"));
    EXPECT_EQ(island::durationText(75.9), QStringLiteral("1:15"));
    EXPECT_EQ(island::durationText(3600), QStringLiteral("60:00"));
    EXPECT_EQ(island::durationText(0), QString());
    EXPECT_EQ(island::durationText(-3), QString());
}
