#include "input/Hotkey.h"

#include <gtest/gtest.h>

#include <tuple>

using namespace kestrabo;
using State = HotkeyGesture::State;

TEST(HotkeyModifier, EachRightSideKeyIsDisturbedByEveryOtherModifierOnly)
{
    using namespace keyflag;
    // Each key held alone, and the key on the left of the same family.
    const std::tuple<HotkeyModifier, quint64, quint64> keys[] = {
        {HotkeyModifier::rightShift, rightShift | shift, leftShift | shift},
        {HotkeyModifier::rightCommand, rightCommand | command, leftCommand | command},
        {HotkeyModifier::rightOption, rightOption | option, leftOption | option},
        {HotkeyModifier::rightControl, rightControl | control, leftControl | control},
    };
    for (const auto& [modifier, alone, left] : keys) {
        SCOPED_TRACE(rawValue(modifier).toStdString());
        EXPECT_EQ(hotkeyModifierFromRawValue(rawValue(modifier)), modifier);
        for (const auto& [other, otherAlone, otherLeft] : keys)
            EXPECT_EQ(otherModifiersDown(modifier, otherAlone), other != modifier) << rawValue(other).toStdString();
        EXPECT_TRUE(otherModifiersDown(modifier, alone | left));
        HotkeyGesture gesture;
        EXPECT_EQ(gesture.flagsChanged(keyCode(modifier), alone, modifier), HotkeyAction::pressBegan);
    }
    EXPECT_EQ(hotkeyModifierFromRawValue(QStringLiteral("leftShift")), std::nullopt);
}

TEST(HotkeyGesture, FollowsTheTransitionTableFromEveryState)
{
    const int chosen = keycode::rightShift;
    const int other = keycode::leftCommand;
    const quint64 own = keyflag::rightShift | keyflag::shift;
    const quint64 ownAndOthers = own | keyflag::leftCommand | keyflag::command;
    const quint64 othersOnly = keyflag::leftCommand | keyflag::command;
    struct Row {
        int key;
        quint64 flags;
        State from;
        State to;
        HotkeyAction action;
    };
    const Row rows[] = {
        // the chosen key goes up
        {chosen, 0, State::pressed, State::idle, HotkeyAction::tapped},
        {chosen, 0, State::held, State::idle, HotkeyAction::released},
        {chosen, 0, State::idle, State::idle, HotkeyAction::noAction},
        {chosen, othersOnly, State::suppressed, State::idle, HotkeyAction::noAction},
        // the chosen key goes down alone
        {chosen, own, State::idle, State::pressed, HotkeyAction::pressBegan},
        {chosen, own, State::pressed, State::pressed, HotkeyAction::noAction},
        {chosen, own, State::held, State::held, HotkeyAction::noAction},
        {chosen, own, State::suppressed, State::suppressed, HotkeyAction::noAction},
        // the chosen key with other modifiers down
        {chosen, ownAndOthers, State::pressed, State::suppressed, HotkeyAction::cancelled},
        {chosen, ownAndOthers, State::held, State::suppressed, HotkeyAction::cancelled},
        {chosen, ownAndOthers, State::idle, State::suppressed, HotkeyAction::noAction},
        {chosen, ownAndOthers, State::suppressed, State::suppressed, HotkeyAction::noAction},
        // another modifier key, nothing in progress
        {other, othersOnly, State::idle, State::idle, HotkeyAction::noAction},
        {other, ownAndOthers, State::suppressed, State::suppressed, HotkeyAction::noAction},
        {other, 0, State::suppressed, State::suppressed, HotkeyAction::noAction},
        // another modifier key during a press or hold
        {other, 0, State::pressed, State::idle, HotkeyAction::cancelled},
        {other, othersOnly, State::held, State::idle, HotkeyAction::cancelled},
        {other, own, State::pressed, State::pressed, HotkeyAction::noAction},
        {other, own, State::held, State::held, HotkeyAction::noAction},
        {other, ownAndOthers, State::pressed, State::suppressed, HotkeyAction::cancelled},
        {other, ownAndOthers, State::held, State::suppressed, HotkeyAction::cancelled},
    };
    for (size_t i = 0; i < std::size(rows); ++i) {
        const Row& row = rows[i];
        SCOPED_TRACE(testing::Message() << "row " << i);
        HotkeyGesture gesture{row.from};
        EXPECT_EQ(gesture.flagsChanged(row.key, row.flags, HotkeyModifier::rightShift), row.action);
        EXPECT_EQ(gesture.state, row.to);
    }
    // The same key is "another key" once a different modifier is chosen.
    HotkeyGesture gesture{State::pressed};
    EXPECT_EQ(gesture.flagsChanged(keycode::rightShift, 0, HotkeyModifier::rightOption), HotkeyAction::cancelled);
}
