#include "ui/IslandFixture.h"

#include "platform/HostSystem.h"
#include "ui/IslandView.h"

#include <QComboBox>
#include <QCheckBox>
#include <QGuiApplication>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>
#include <QTest>

using namespace kestrabo;
using test::child;
using test::visibleTexts;

namespace {

struct View : test::IslandFixture {
    IslandView view{*model};
    int resizes = 0;

    View()
    {
        view.onResize = [this] { ++resizes; };
        view.setMetrics({120, 24, 32}, 760);
        view.resize(410, 600);
        view.show();
    }

    void click(const QString& name)
    {
        auto* button = child(view, name);
        ASSERT_NE(button, nullptr);
        ASSERT_TRUE(button->isVisibleTo(&view)) << name.toStdString();
        ASSERT_TRUE(button->isEnabled()) << name.toStdString();
        button->click();
    }
    bool shows(const QString& text) const { return visibleTexts(view).contains(text); }
    QString accessible(const QString& name) const { return child<QWidget>(view, name)->accessibleName(); }
};

} // namespace

TEST(IslandView, CompactBarOpensAndHoverWaitsForThePointerToLeaveAfterACollapse)
{
    View v;
    EXPECT_EQ(v.accessible(QStringLiteral("bar.open")), QStringLiteral("Open Kestrabo"));
    EXPECT_EQ(v.accessible(QStringLiteral("bar.expand")), QStringLiteral("Expand Kestrabo"));
    v.click(QStringLiteral("bar.expand"));
    EXPECT_TRUE(v.model->expanded());
    EXPECT_EQ(v.accessible(QStringLiteral("bar.open")), QStringLiteral("Collapse Kestrabo"));
    EXPECT_EQ(v.accessible(QStringLiteral("bar.expand")), QStringLiteral("Collapse Kestrabo"));
    EXPECT_GE(v.resizes, 1);

    v.view.hoverOpenDelayMs = 10;
    QWidget* face = nullptr;
    for (QWidget* candidate : v.view.findChildren<QWidget*>())
        if (candidate->inherits("kestrabo::CompanionFace") && candidate->parentWidget()->objectName() == "bar.open")
            face = candidate;
    ASSERT_NE(face, nullptr);
    EXPECT_EQ(face->accessibleName(), QStringLiteral("Kestrabo, Ready when you are"));
    v.model->setExpanded(false);
    QEvent enter(QEvent::Enter), leave(QEvent::Leave);
    QCoreApplication::sendEvent(face, &enter);
    test::spin(60);
    EXPECT_FALSE(v.model->expanded()) << "reopened under the pointer that collapsed it";
    QCoreApplication::sendEvent(face, &leave);
    QCoreApplication::sendEvent(face, &enter);
    EXPECT_TRUE(test::waitUntil([&] { return v.model->expanded(); }, 1'000));
}

TEST(IslandView, TitleBarButtonsHideSwitchPagesAndQuit)
{
    View v;
    v.model->setExpanded(true);
    EXPECT_TRUE(v.shows(QStringLiteral("Kestrabo")));
    EXPECT_TRUE(v.shows(QStringLiteral("Ready when you are")));
    auto* hide = child(v.view, QStringLiteral("title.hide"));
    EXPECT_EQ(hide->text(), QStringLiteral("Hide"));
    EXPECT_EQ(hide->accessibleName(), QStringLiteral("Hide Kestrabo"));
    EXPECT_EQ(hide->toolTip(), QStringLiteral("Collapse to the compact bar"));
    EXPECT_EQ(v.accessible(QStringLiteral("title.quit")), QStringLiteral("Quit Kestrabo and stop all tasks"));

    EXPECT_EQ(v.accessible(QStringLiteral("title.settings")), QStringLiteral("Open settings"));
    v.click(QStringLiteral("title.settings"));
    EXPECT_TRUE(v.model->settings());
    EXPECT_EQ(v.accessible(QStringLiteral("title.settings")), QStringLiteral("Close settings"));
    EXPECT_TRUE(v.shows(QStringLiteral("OpenAI API key")));
    EXPECT_FALSE(v.shows(QStringLiteral("Start talking")));
    v.click(QStringLiteral("settings.done"));
    EXPECT_FALSE(v.model->settings());
    EXPECT_TRUE(v.shows(QStringLiteral("Start talking")));

    v.click(QStringLiteral("title.hide"));
    EXPECT_FALSE(v.model->expanded());
    v.model->setExpanded(true);
    v.click(QStringLiteral("title.quit"));
    EXPECT_EQ(v.terminations, 1);
}

TEST(IslandView, ConversationPageFollowsTheConversation)
{
    View v;
    v.model->setExpanded(true);
    v.model->setShortcut(HotkeyModifier::rightOption);
    EXPECT_TRUE(v.shows(QStringLiteral("What's on your mind?")));
    EXPECT_TRUE(v.shows(QStringLiteral(
        "Tap Right Option to talk. Hold it and circle something to ask about your screen.")));
    EXPECT_TRUE(v.shows(
        QStringLiteral("Ask me to research or prepare tasks. Independent agents can work at the same time.")));
    EXPECT_FALSE(child<QWidget>(v.view, QStringLiteral("conversation.duration"))->isVisibleTo(&v.view));
    EXPECT_EQ(v.view.contentHeight(), 330);

    // Without a key, talking starts at the key field.
    v.click(QStringLiteral("conversation.toggle"));
    EXPECT_FALSE(v.model->active());
    EXPECT_TRUE(v.model->settings());
    v.model->setSettings(false);
    v.model->setApiKey(QStringLiteral("sk-test"));
    v.click(QStringLiteral("conversation.toggle"));
    ASSERT_TRUE(v.model->active());
    EXPECT_FALSE(v.shows(QStringLiteral("What's on your mind?")));
    EXPECT_TRUE(v.shows(QStringLiteral("Listening for your words…")));
    EXPECT_TRUE(v.shows(QStringLiteral("Waiting for assistant subtitles…")));
    EXPECT_TRUE(v.shows(QStringLiteral("End conversation")));
    EXPECT_TRUE(v.shows(QStringLiteral("Connecting")));

    v.transcript(true, QStringLiteral("What is this bird?"), 0);
    v.transcript(false, QStringLiteral("A kestrel."), 400);
    EXPECT_TRUE(v.shows(QStringLiteral("What is this bird?")));
    EXPECT_TRUE(v.shows(QStringLiteral("A kestrel.")));
    EXPECT_FALSE(v.shows(QStringLiteral("Listening for your words…")));
    EXPECT_EQ(v.view.contentHeight(), 470);

    // Ended: the last captions stay as speaker and text rows, with the call's length.
    v.click(QStringLiteral("conversation.toggle"));
    EXPECT_FALSE(v.model->active());
    v.model->receive({{QStringLiteral("type"), QStringLiteral("session.closed")},
                      {QStringLiteral("usage"), QJsonObject{{QStringLiteral("seconds"), 59.9}}}});
    EXPECT_TRUE(v.shows(QStringLiteral("You")));
    EXPECT_TRUE(v.shows(QStringLiteral("What is this bird?")));
    EXPECT_TRUE(v.shows(QStringLiteral("Start talking")));
    EXPECT_FALSE(v.shows(QStringLiteral("What's on your mind?")));
    EXPECT_EQ(child<QLabel>(v.view, QStringLiteral("conversation.duration"))->text(), QStringLiteral("0:59"));

    v.model->fail(QStringLiteral("The voice service closed the connection."));
    EXPECT_TRUE(v.shows(QStringLiteral("The voice service closed the connection.")));
    EXPECT_EQ(v.view.contentHeight(), 470 + 64);
}

TEST(IslandView, AHeldRegionOffersClear)
{
    View v;
    v.model->setExpanded(true);
    EXPECT_FALSE(child(v.view, QStringLiteral("context.clear"))->isVisibleTo(&v.view));
    v.model->circle(QGuiApplication::primaryScreen(), QRectF(10, 10, 200, 100));
    ASSERT_TRUE(v.model->selected());
    EXPECT_TRUE(v.shows(v.model->contextLabel()));
    v.click(QStringLiteral("context.clear"));
    EXPECT_FALSE(v.model->selected());
    EXPECT_FALSE(child(v.view, QStringLiteral("context.clear"))->isVisibleTo(&v.view));
}

TEST(IslandView, SettingsPageSavesAndRemovesTheKey)
{
    View v;
    v.model->setExpanded(true);
    v.model->setSettings(true);
    auto* field = child<QLineEdit>(v.view, QStringLiteral("settings.apiKey"));
    EXPECT_EQ(field->placeholderText(), QStringLiteral("Paste your API key"));
    EXPECT_EQ(field->accessibleName(), QStringLiteral("OpenAI API key, save in the system keyring"));
    EXPECT_EQ(field->echoMode(), QLineEdit::Password);
    EXPECT_TRUE(v.shows(QStringLiteral("Save your key in the system keyring to load it when Kestrabo opens. Voice and "
                                       "screen reading use your OpenAI API account.")));
    auto* save = child(v.view, QStringLiteral("settings.saveKey"));
    EXPECT_EQ(save->text(), QStringLiteral("Save to keyring"));
    EXPECT_FALSE(save->isEnabled());
    EXPECT_FALSE(child(v.view, QStringLiteral("settings.removeKey"))->isEnabled());

    QTest::keyClicks(field, QStringLiteral("sk-typed"));
    EXPECT_EQ(v.model->apiKey(), QStringLiteral("sk-typed"));
    v.click(QStringLiteral("settings.saveKey"));
    EXPECT_TRUE(v.model->keySaved());
    EXPECT_EQ(save->text(), QStringLiteral("Replace saved key"));
    ASSERT_TRUE(v.model->credentialNotice().has_value());
    EXPECT_TRUE(v.shows(*v.model->credentialNotice()));

    // Both key buttons wait while a conversation runs.
    v.model->toggle();
    v.model->setSettings(true);
    EXPECT_FALSE(save->isEnabled());
    EXPECT_FALSE(child(v.view, QStringLiteral("settings.removeKey"))->isEnabled());
    v.model->stop();
    v.click(QStringLiteral("settings.removeKey"));
    EXPECT_FALSE(v.model->keySaved());
    EXPECT_EQ(save->text(), QStringLiteral("Save to keyring"));
}

TEST(IslandView, SettingsPageShowsLinuxPermissionRowsAndTheirActions)
{
    View v;
    v.access.microphone = true;
    v.access.listenEvent = false;
    v.model->refreshPermissions();
    v.model->setExpanded(true);
    v.model->setSettings(true);
    ASSERT_TRUE(test::waitUntil([&] { return v.model->microphoneAllowed() && !v.model->screenPermissionChecking(); }));

    for (const QString& title : {QStringLiteral("Microphone"), QStringLiteral("Screen capture"),
                                QStringLiteral("Keyboard shortcut")})
        EXPECT_TRUE(v.shows(title)) << title.toStdString();
    for (const QString& text : visibleTexts(v.view)) {
        EXPECT_FALSE(text.contains(QStringLiteral("Accessibility"))) << text.toStdString();
        EXPECT_FALSE(text.contains(QStringLiteral("Renew"))) << text.toStdString();
        EXPECT_FALSE(text.contains(QStringLiteral("macOS"))) << text.toStdString();
    }
    EXPECT_FALSE(child(v.view, QStringLiteral("permission.allow.Microphone"))->isVisibleTo(&v.view));
    EXPECT_TRUE(v.shows(QStringLiteral("Allowed")));

    auto* allowScreen = child(v.view, QStringLiteral("permission.allow.Screen capture"));
    EXPECT_EQ(allowScreen->accessibleName(), QStringLiteral("Allow Screen capture"));
    EXPECT_EQ(v.accessible(QStringLiteral("permission.settings.Keyboard shortcut")),
              QStringLiteral("Open Keyboard shortcut settings"));
    EXPECT_TRUE(v.shows(QStringLiteral("The desktop has not granted screen access. Choose Allow to request access, or "
                                       "open the screen capture settings.")));
    v.click(QStringLiteral("permission.settings.Screen capture"));
    v.click(QStringLiteral("permission.settings.Keyboard shortcut"));
    v.click(QStringLiteral("settings.openScreenSettings"));
    EXPECT_EQ(v.access.openedPanes, (QStringList{QStringLiteral("Privacy_ScreenCapture"),
                                                 QStringLiteral("Privacy_ListenEvent"),
                                                 QStringLiteral("Privacy_ScreenCapture")}));
    v.access.listenEvent = true;
    v.click(QStringLiteral("permission.allow.Keyboard shortcut"));
    ASSERT_TRUE(test::waitUntil([&] { return v.model->inputMonitoringAllowed(); }));
    EXPECT_FALSE(child(v.view, QStringLiteral("permission.allow.Keyboard shortcut"))->isVisibleTo(&v.view));

    // Codex, the conversation key and the wake phrase.
    EXPECT_TRUE(v.shows(QStringLiteral("Codex unavailable")));
    EXPECT_TRUE(v.shows(QStringLiteral("Codex CLI is not installed.")));
    v.codexFound = true;
    v.click(QStringLiteral("settings.codexCheck"));
    EXPECT_TRUE(v.shows(QStringLiteral("Codex installed")));
    EXPECT_TRUE(v.shows(
        QStringLiteral("Codex CLI is installed. Account and tool access are checked when a task starts.")));
    EXPECT_FALSE(child(v.view, QStringLiteral("settings.codexCheck"))->isVisibleTo(&v.view));
    auto* combo = child<QComboBox>(v.view, QStringLiteral("settings.shortcut"));
    EXPECT_EQ(combo->count(), 4);
    EXPECT_EQ(combo->itemText(3), QStringLiteral("Right Control"));
    combo->activated(3);
    EXPECT_EQ(v.model->shortcut(), HotkeyModifier::rightControl);
    auto* wake = child<QCheckBox>(v.view, QStringLiteral("settings.wakeWord"));
    EXPECT_EQ(wake->text(), QStringLiteral("Listen for “Hey, kestrabo”"));
    wake->click();
    EXPECT_EQ(v.model->wakeWordEnabled(), wake->isChecked());

    v.click(QStringLiteral("settings.quit"));
    EXPECT_EQ(v.terminations, 1);
}

TEST(IslandView, UnderWaylandTheShortcutAndScreenRowsSayWhy)
{
    qputenv("XDG_SESSION_TYPE", "wayland");
    View v;
    v.model->setExpanded(true);
    v.model->setSettings(true);
    EXPECT_TRUE(v.shows(QString::fromUtf8(host::waylandShortcutUnavailable)));
    EXPECT_TRUE(v.shows(QString::fromUtf8(host::waylandScreenUnavailable)));
    EXPECT_FALSE(child(v.view, QStringLiteral("permission.allow.Screen capture"))->isVisibleTo(&v.view));
    EXPECT_FALSE(child(v.view, QStringLiteral("permission.allow.Keyboard shortcut"))->isVisibleTo(&v.view));
    EXPECT_TRUE(child(v.view, QStringLiteral("permission.allow.Microphone"))->isVisibleTo(&v.view)
                || v.model->microphoneAllowed());
    qunsetenv("XDG_SESSION_TYPE");
}
