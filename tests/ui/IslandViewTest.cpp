#include "ui/IslandFixture.h"

#include "platform/HostSystem.h"
#include "ui/IslandView.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGuiApplication>
#include <QLineEdit>
#include <QScreen>
#include <QTest>

using namespace kestrabo;
using namespace Qt::StringLiterals;
using test::child;
using test::visibleTexts;

namespace {

struct View : test::IslandFixture {
    IslandView view{*model};
    int resizes = 0;

    explicit View(bool expanded = true, bool settings = false)
    {
        view.onResize = [this] { ++resizes; };
        view.setMetrics({120, 24, 32}, 760);
        view.resize(410, 600);
        view.show();
        model->setExpanded(expanded);
        model->setSettings(settings);
    }

    void click(const QString& name)
    {
        auto* button = child(view, name);
        ASSERT_TRUE(button && button->isVisibleTo(&view) && button->isEnabled()) << name.toStdString();
        button->click();
    }
    bool visible(const QString& name) const { return child<QWidget>(view, name)->isVisibleTo(&view); }
    bool enabled(const QString& name) const { return child<QWidget>(view, name)->isEnabled(); }
    QString accessible(const QString& name) const { return child<QWidget>(view, name)->accessibleName(); }
    // Empty when every text shows; otherwise the first one missing.
    QString missing(const QStringList& texts) const
    {
        const QStringList shown = visibleTexts(view);
        for (const QString& text : texts)
            if (!shown.contains(text))
                return text;
        return {};
    }
    bool shows(const QString& text) const { return missing({text}).isEmpty(); }
};

} // namespace

TEST(IslandView, CompactBarOpensAndHoverWaitsForThePointerToLeaveAfterACollapse)
{
    View v(false);
    EXPECT_EQ(v.accessible(u"bar.open"_s), u"Open Kestrabo"_s);
    EXPECT_EQ(v.accessible(u"bar.expand"_s), u"Expand Kestrabo"_s);
    v.click(u"bar.expand"_s);
    EXPECT_TRUE(v.model->expanded());
    EXPECT_EQ(v.accessible(u"bar.open"_s), u"Collapse Kestrabo"_s);
    EXPECT_EQ(v.accessible(u"bar.expand"_s), u"Collapse Kestrabo"_s);
    EXPECT_GE(v.resizes, 1);

    v.view.hoverOpenDelayMs = 10;
    QWidget* face = child<QWidget>(v.view, u"bar.open"_s)->findChild<QWidget*>();
    ASSERT_NE(face, nullptr);
    EXPECT_EQ(face->accessibleName(), u"Kestrabo, Ready when you are"_s);
    v.model->setExpanded(false);
    QEvent enter(QEvent::Enter), leave(QEvent::Leave);
    QCoreApplication::sendEvent(face, &enter);
    test::spin(60);
    EXPECT_FALSE(v.model->expanded()) << "reopened under the pointer that collapsed it";
    QCoreApplication::sendEvent(face, &leave);
    QCoreApplication::sendEvent(face, &enter);
    EXPECT_TRUE(test::waitUntil([&] { return v.model->expanded(); }, 1'000));
}

TEST(IslandView, TitleBarButtonsHideSwitchPagesAndQuitAndAHeldRegionOffersClear)
{
    View v;
    EXPECT_EQ(v.missing({u"Kestrabo"_s, u"Ready when you are"_s, u"Hide"_s}), QString());
    EXPECT_EQ(v.accessible(u"title.hide"_s), u"Hide Kestrabo"_s);
    EXPECT_EQ(child(v.view, u"title.hide"_s)->toolTip(), u"Collapse to the compact bar"_s);
    EXPECT_EQ(v.accessible(u"title.quit"_s), u"Quit Kestrabo and stop all tasks"_s);

    EXPECT_EQ(v.accessible(u"title.settings"_s), u"Open settings"_s);
    v.click(u"title.settings"_s);
    EXPECT_TRUE(v.model->settings());
    EXPECT_EQ(v.accessible(u"title.settings"_s), u"Close settings"_s);
    EXPECT_TRUE(v.shows(u"OpenAI API key"_s));
    EXPECT_FALSE(v.shows(u"Start talking"_s));
    v.click(u"settings.done"_s);
    EXPECT_TRUE(v.shows(u"Start talking"_s));

    // A held region offers to clear it.
    EXPECT_FALSE(v.visible(u"context.clear"_s));
    v.model->circle(QGuiApplication::primaryScreen(), QRectF(10, 10, 200, 100));
    ASSERT_TRUE(v.model->selected());
    EXPECT_TRUE(v.shows(v.model->contextLabel()));
    v.click(u"context.clear"_s);
    EXPECT_FALSE(v.model->selected());
    EXPECT_FALSE(v.visible(u"context.clear"_s));

    v.click(u"title.hide"_s);
    EXPECT_FALSE(v.model->expanded());
    v.model->setExpanded(true);
    v.click(u"title.quit"_s);
    EXPECT_EQ(v.terminations, 1);
}

TEST(IslandView, ConversationPageFollowsTheConversation)
{
    View v;
    v.model->setShortcut(HotkeyModifier::rightOption);
    EXPECT_EQ(v.missing({u"What's on your mind?"_s,
                         u"Tap Right Option to talk. Hold it and circle something to ask about your screen."_s,
                         u"Ask me to research or prepare tasks. Independent agents can work at the same time."_s}),
              QString());
    EXPECT_FALSE(v.visible(u"conversation.duration"_s));
    EXPECT_EQ(v.view.contentHeight(), 330);

    v.model->setApiKey(u"sk-test"_s);
    v.click(u"conversation.toggle"_s);
    ASSERT_TRUE(v.model->active());
    EXPECT_FALSE(v.shows(u"What's on your mind?"_s));
    EXPECT_EQ(v.missing({u"Listening for your words…"_s, u"Waiting for assistant subtitles…"_s, u"End conversation"_s,
                         u"Connecting"_s}),
              QString());

    v.transcript(true, u"What is this bird?"_s, 0);
    v.transcript(false, u"A kestrel."_s, 400);
    EXPECT_EQ(v.missing({u"What is this bird?"_s, u"A kestrel."_s}), QString());
    EXPECT_FALSE(v.shows(u"Listening for your words…"_s));
    EXPECT_EQ(v.view.contentHeight(), 470);

    // Ended: the last captions stay as speaker and text rows, with the call's length.
    v.click(u"conversation.toggle"_s);
    EXPECT_FALSE(v.model->active());
    v.model->receive({{u"type"_s, u"session.closed"_s}, {u"usage"_s, QJsonObject{{u"seconds"_s, 59.9}}}});
    EXPECT_EQ(v.missing({u"You"_s, u"What is this bird?"_s, u"Start talking"_s, u"0:59"_s}), QString());
    EXPECT_FALSE(v.shows(u"What's on your mind?"_s));

    v.model->fail(u"The voice service closed the connection."_s);
    EXPECT_TRUE(v.shows(u"The voice service closed the connection."_s));
    EXPECT_EQ(v.view.contentHeight(), 470 + 64);
}

TEST(IslandView, SettingsPageKeyPermissionRowsCodexShortcutAndWakePhrase)
{
    View v(true, true);
    auto* field = child<QLineEdit>(v.view, u"settings.apiKey"_s);
    EXPECT_EQ(field->placeholderText(), u"Paste your API key"_s);
    EXPECT_EQ(field->accessibleName(), u"OpenAI API key, save in the system keyring"_s);
    EXPECT_EQ(field->echoMode(), QLineEdit::Password);
    EXPECT_EQ(v.missing({u"Save your key in the system keyring to load it when Kestrabo opens. Voice and screen "
                         u"reading use your OpenAI API account."_s,
                         u"Save to keyring"_s}),
              QString());
    EXPECT_FALSE(v.enabled(u"settings.saveKey"_s));
    EXPECT_FALSE(v.enabled(u"settings.removeKey"_s));

    QTest::keyClicks(field, u"sk-typed"_s);
    EXPECT_EQ(v.model->apiKey(), u"sk-typed"_s);
    v.click(u"settings.saveKey"_s);
    EXPECT_TRUE(v.model->keySaved());
    ASSERT_TRUE(v.model->credentialNotice().has_value());
    EXPECT_EQ(v.missing({u"Replace saved key"_s, *v.model->credentialNotice()}), QString());

    // Both key buttons wait while a conversation runs.
    v.model->toggle();
    v.model->setSettings(true);
    EXPECT_FALSE(v.enabled(u"settings.saveKey"_s));
    EXPECT_FALSE(v.enabled(u"settings.removeKey"_s));
    v.model->stop();
    v.click(u"settings.removeKey"_s);
    EXPECT_FALSE(v.model->keySaved());
    EXPECT_TRUE(v.shows(u"Save to keyring"_s));

    // The permission rows, in the desktop's words, and their actions.
    v.model->refreshPermissions();
    ASSERT_TRUE(test::waitUntil([&] { return v.model->microphoneAllowed() && !v.model->screenPermissionChecking(); }));

    EXPECT_EQ(v.missing({u"Microphone"_s, u"Allowed"_s, u"Screen capture"_s, u"Keyboard shortcut"_s,
                         u"The desktop has not granted screen access. Choose Allow to request access, or open the "
                         u"screen capture settings."_s}),
              QString());
    for (const QString& text : visibleTexts(v.view))
        for (const QString& foreign : {u"Accessibility"_s, u"Renew"_s, u"macOS"_s, u"Keychain"_s})
            EXPECT_FALSE(text.contains(foreign)) << text.toStdString();
    EXPECT_FALSE(v.visible(u"permission.allow.Microphone"_s));
    EXPECT_EQ(v.accessible(u"permission.allow.Screen capture"_s), u"Allow Screen capture"_s);
    EXPECT_EQ(v.accessible(u"permission.settings.Keyboard shortcut"_s), u"Open Keyboard shortcut settings"_s);
    v.click(u"permission.settings.Screen capture"_s);
    v.click(u"permission.settings.Keyboard shortcut"_s);
    v.click(u"settings.openScreenSettings"_s);
    EXPECT_EQ(v.access.openedPanes,
              (QStringList{u"Privacy_ScreenCapture"_s, u"Privacy_ListenEvent"_s, u"Privacy_ScreenCapture"_s}));
    v.access.listenEvent = true;
    v.click(u"permission.allow.Keyboard shortcut"_s);
    ASSERT_TRUE(test::waitUntil([&] { return v.model->inputMonitoringAllowed(); }));
    EXPECT_FALSE(v.visible(u"permission.allow.Keyboard shortcut"_s));

    // Codex, the conversation key and the wake phrase.
    EXPECT_EQ(v.missing({u"Codex unavailable"_s, u"Codex CLI is not installed."_s}), QString());
    v.codexFound = true;
    v.click(u"settings.codexCheck"_s);
    EXPECT_EQ(v.missing({u"Codex installed"_s,
                         u"Codex CLI is installed. Account and tool access are checked when a task starts."_s}),
              QString());
    EXPECT_FALSE(v.visible(u"settings.codexCheck"_s));
    auto* combo = child<QComboBox>(v.view, u"settings.shortcut"_s);
    EXPECT_EQ(combo->itemText(3), u"Right Control"_s);
    combo->activated(3);
    EXPECT_EQ(v.model->shortcut(), HotkeyModifier::rightControl);
    auto* wake = child<QCheckBox>(v.view, u"settings.wakeWord"_s);
    EXPECT_EQ(wake->text(), u"Listen for “Hey, kestrabo”"_s);
    wake->click();
    EXPECT_EQ(v.model->wakeWordEnabled(), wake->isChecked());

    v.click(u"settings.quit"_s);
    EXPECT_EQ(v.terminations, 1);
}

TEST(IslandView, UnderWaylandTheShortcutAndScreenRowsSayWhy)
{
    qputenv("XDG_SESSION_TYPE", "wayland");
    View v(true, true);
    EXPECT_EQ(v.missing({QString::fromUtf8(host::waylandShortcutUnavailable),
                         QString::fromUtf8(host::waylandScreenUnavailable)}),
              QString());
    EXPECT_FALSE(v.visible(u"permission.allow.Screen capture"_s));
    EXPECT_FALSE(v.visible(u"permission.allow.Keyboard shortcut"_s));
    qunsetenv("XDG_SESSION_TYPE");
}
