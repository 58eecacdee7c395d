#include "input/Hotkey.h"

#include <gtest/gtest.h>

#include <tuple>

using namespace kestrabo;
using State = HotkeyGesture::State;

TEST(HotkeyModifier, EncodesEachRightSideKeyAsTabled)
{
    struct Row {
        const char* raw;
        const char* title;
        int keyCode;
        quint64 own, otherBits, otherFamilies;
    } const rows[] = {
        {"rightShift", "Right Shift", 60, 0x4, 0x207B, 0x1C0000},
        {"rightCommand", "Right Command", 54, 0x10, 0x206F, 0xE0000},
        {"rightOption", "Right Option", 61, 0x40, 0x203F, 0x160000},
        {"rightControl", "Right Control", 62, 0x2000, 0x7F, 0x1A0000},
    };
    for (size_t i = 0; i < std::size(rows); ++i) {
        const Row& row = rows[i];
        const HotkeyModifier modifier = kHotkeyModifiers[i];
        SCOPED_TRACE(row.raw);
        EXPECT_EQ(hotkeyModifierFromRawValue(QString::fromLatin1(row.raw)), modifier);
        EXPECT_EQ(rawValue(modifier), QString::fromLatin1(row.raw));
        EXPECT_EQ(title(modifier), QString::fromLatin1(row.title));
        EXPECT_EQ(std::tuple(keyCode(modifier), ownDeviceBit(modifier), otherDeviceBits(modifier), otherFamilies(modifier)),
                  std::tuple(row.keyCode, row.own, row.otherBits, row.otherFamilies));
    }
    EXPECT_FALSE(otherModifiersDown(HotkeyModifier::rightShift, 0x20004)); // its own key and family
    EXPECT_TRUE(otherModifiersDown(HotkeyModifier::rightShift, 0x20006));  // and Left Shift
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
