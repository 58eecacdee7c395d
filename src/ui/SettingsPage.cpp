#include "ui/SettingsPage.h"

#include "app/AppModel.h"
#include "platform/HostSystem.h"
#include "ui/IslandWidgets.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

namespace kestrabo {

using island::Ink;

namespace {

QHBoxLayout* row(QVBoxLayout* column)
{
    auto* line = new QHBoxLayout;
    line->setSpacing(6);
    column->addLayout(line);
    return line;
}

QLabel* heading(QWidget* parent, const QString& value) { return island::text(parent, value, 13, QFont::DemiBold); }

} // namespace

SettingsPage::SettingsPage(AppModel& model, QWidget* parent) : QWidget(parent), m_model(model)
{
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(0, 4, 6, 4);
    column->setSpacing(7);

    column->addWidget(heading(this, QStringLiteral("OpenAI API key")));
    m_key = new QLineEdit(this);
    m_key->setObjectName(QStringLiteral("settings.apiKey"));
    m_key->setEchoMode(QLineEdit::Password);
    m_key->setPlaceholderText(QStringLiteral("Paste your API key"));
    m_key->setAccessibleName(QStringLiteral("OpenAI API key, save in the system keyring"));
    connect(m_key, &QLineEdit::textEdited, this, [this](const QString& text) { m_model.setApiKey(text); });
    column->addWidget(m_key);
    column->addWidget(island::text(this,
                                   QStringLiteral("Save your key in the system keyring to load it when Kestrabo opens. "
                                                  "Voice and screen reading use your OpenAI API account."),
                                   11, QFont::Normal, Ink::secondary));
    QHBoxLayout* keyButtons = row(column);
    m_saveKey = island::button(this, QString());
    m_saveKey->setObjectName(QStringLiteral("settings.saveKey"));
    connect(m_saveKey, &QPushButton::clicked, this, [this] { m_model.persistCurrentKey(); });
    m_removeKey = island::button(this, QStringLiteral("Remove saved key"));
    m_removeKey->setObjectName(QStringLiteral("settings.removeKey"));
    connect(m_removeKey, &QPushButton::clicked, this, [this] { m_model.removeAPIKey(); });
    keyButtons->addWidget(m_saveKey);
    keyButtons->addWidget(m_removeKey);
    keyButtons->addStretch(1);
    m_credentialNotice = island::text(this, QString(), 11, QFont::Normal, Ink::leaf);
    m_credentialNotice->setObjectName(QStringLiteral("settings.credentialNotice"));
    column->addWidget(m_credentialNotice);

    QHBoxLayout* codex = row(column);
    m_codexIcon = new QLabel(this);
    m_codexTitle = heading(this, QString());
    m_codexCheck = island::button(this, QStringLiteral("Check again"));
    m_codexCheck->setObjectName(QStringLiteral("settings.codexCheck"));
    connect(m_codexCheck, &QPushButton::clicked, this, [this] { recheckCodex(); });
    codex->addWidget(m_codexIcon);
    codex->addWidget(m_codexTitle, 1);
    codex->addWidget(m_codexCheck);
    m_codexText = island::text(this, QString(), 11, QFont::Normal, Ink::secondary);
    column->addWidget(m_codexText);

    QHBoxLayout* shortcut = row(column);
    shortcut->addWidget(heading(this, QStringLiteral("Conversation key")), 1);
    m_shortcut = new QComboBox(this);
    m_shortcut->setObjectName(QStringLiteral("settings.shortcut"));
    m_shortcut->setAccessibleName(QStringLiteral("Conversation key"));
    m_shortcut->setFocusPolicy(Qt::NoFocus);
    for (const HotkeyModifier modifier : kHotkeyModifiers)
        m_shortcut->addItem(title(modifier), rawValue(modifier));
    connect(m_shortcut, &QComboBox::activated, this, [this](int index) {
        if (index >= 0 && index < int(kHotkeyModifiers.size()))
            m_model.setShortcut(kHotkeyModifiers[std::size_t(index)]);
    });
    shortcut->addWidget(m_shortcut);
    column->addWidget(island::text(
        this,
        QStringLiteral("Tap to start or end conversation. Hold and drag to circle. Your conversation key choice is saved."),
        11, QFont::Normal, Ink::secondary));

    m_wake = new QCheckBox(QStringLiteral("Listen for “Hey, kestrabo”"), this);
    m_wake->setObjectName(QStringLiteral("settings.wakeWord"));
    m_wake->setFocusPolicy(Qt::NoFocus);
    island::setInk(m_wake, Ink::primary);
    connect(m_wake, &QCheckBox::toggled, this, [this](bool on) { m_model.setWakeWordEnabled(on); });
    column->addWidget(m_wake);
    m_wakeStatus = island::text(this, QString(), 11, QFont::Normal, Ink::secondary);
    column->addWidget(m_wakeStatus);
    QHBoxLayout* wakeAccess = row(column);
    m_wakeAllow = island::button(this, QStringLiteral("Allow wake listening"));
    m_wakeAllow->setObjectName(QStringLiteral("settings.wakeAllow"));
    connect(m_wakeAllow, &QPushButton::clicked, this, [this] { m_model.requestWakeAccess(); });
    m_wakePending = island::text(this, QStringLiteral("Requesting access…"), 11, QFont::Normal, Ink::secondary);
    wakeAccess->addWidget(m_wakeAllow);
    wakeAccess->addWidget(m_wakePending);
    wakeAccess->addStretch(1);

    column->addSpacing(4);
    addPermissionRow(
        QStringLiteral("Microphone"), [this] { m_model.requestMicrophoneAccess(); },
        [this] { m_model.openPrivacyPane(QStringLiteral("Privacy_Microphone")); });
    addPermissionRow(
        QStringLiteral("Screen capture"), [this] { m_model.requestScreenAccess(); },
        [this] { m_model.openPrivacyPane(QStringLiteral("Privacy_ScreenCapture")); });
    // No request exists for listening to keys on X11: Allow checks again.
    addPermissionRow(
        QStringLiteral("Keyboard shortcut"), [this] { m_model.refreshPermissions(); },
        [this] { m_model.openPrivacyPane(QStringLiteral("Privacy_ListenEvent")); });
    for (const PermissionRow& permission : m_permissions) {
        auto* line = row(column);
        line->addWidget(permission.icon);
        line->addWidget(island::text(this, permission.title, 12), 1);
        line->addWidget(permission.checking);
        line->addWidget(permission.allowed);
        line->addWidget(permission.allow);
        line->addWidget(permission.settings);
        column->addWidget(permission.detail);
    }
    m_permissions[2].detail->setText(QStringLiteral(
        "Refresh only checks whether the X server lets Kestrabo listen for the conversation key."));
    m_screenUnconfirmed = island::text(this,
                                       QStringLiteral("The desktop has not granted screen access. Choose Allow to request "
                                                      "access, or open the screen capture settings."),
                                       11, QFont::Normal, Ink::secondary);
    column->addWidget(m_screenUnconfirmed);
    m_screenSettings = island::button(this, QStringLiteral("Open screen capture settings"));
    m_screenSettings->setObjectName(QStringLiteral("settings.openScreenSettings"));
    connect(m_screenSettings, &QPushButton::clicked, this,
            [this] { m_model.openPrivacyPane(QStringLiteral("Privacy_ScreenCapture")); });
    row(column)->addWidget(m_screenSettings, 0, Qt::AlignLeft);
    m_screenNotice = island::text(this, QString(), 11, QFont::Normal, Ink::secondary);
    column->addWidget(m_screenNotice);

    m_error = island::text(this, QString(), 12, QFont::Normal, Ink::warning);
    m_error->setObjectName(QStringLiteral("settings.error"));
    column->addWidget(m_error);
    m_build = island::text(this, QString(), 10, QFont::Normal, Ink::secondary);
    m_build->setObjectName(QStringLiteral("settings.build"));
    column->addWidget(m_build);

    auto* bottom = new QGridLayout;
    bottom->setSpacing(6);
    const struct {
        const char* label;
        const char* name;
        std::function<void()> action;
    } buttons[] = {
        {"Refresh permissions", "settings.refresh", [this] { m_model.refreshPermissions(); }},
        {"Reopen Kestrabo", "settings.reopen", [this] {
             if (m_relaunch)
                 m_relaunch();
         }},
        {"Done", "settings.done", [this] { m_model.setSettings(false); }},
        {"Quit Kestrabo", "settings.quit", [this] { m_model.quit(); }},
    };
    int index = 0;
    for (const auto& entry : buttons) {
        QPushButton* button = island::button(this, QString::fromUtf8(entry.label));
        button->setObjectName(QString::fromUtf8(entry.name));
        connect(button, &QPushButton::clicked, this, entry.action);
        bottom->addWidget(button, index / 2, index % 2);
        if (index == 1)
            m_reopen = button;
        ++index;
    }
    column->addLayout(bottom);
    recheckCodex();
}

void SettingsPage::addPermissionRow(const QString& title, std::function<void()> allow,
                                    std::function<void()> settings)
{
    PermissionRow permission{title,
                             new QLabel(this),
                             island::text(this, QStringLiteral("Checking"), 11, QFont::Normal, Ink::secondary),
                             island::text(this, QStringLiteral("Allowed"), 11, QFont::Normal, Ink::leaf),
                             island::button(this, QStringLiteral("Allow")),
                             island::button(this, QStringLiteral("Settings")),
                             island::text(this, QString(), 11, QFont::Normal, Ink::secondary)};
    permission.allow->setAccessibleName(QStringLiteral("Allow ") + title);
    permission.allow->setObjectName(QStringLiteral("permission.allow.") + title);
    permission.settings->setAccessibleName(QStringLiteral("Open ") + title + QStringLiteral(" settings"));
    permission.settings->setObjectName(QStringLiteral("permission.settings.") + title);
    permission.detail->setObjectName(QStringLiteral("permission.detail.") + title);
    connect(permission.allow, &QPushButton::clicked, this, std::move(allow));
    connect(permission.settings, &QPushButton::clicked, this, std::move(settings));
    m_permissions.append(permission);
}

void SettingsPage::syncRow(PermissionRow& permission, bool allowed, bool checking, const QString& unavailable)
{
    island::setIcon(permission.icon, allowed ? QStringLiteral("checkmark.circle.fill") : QStringLiteral("circle"),
                    allowed ? Ink::leaf : Ink::secondary);
    const bool usable = unavailable.isEmpty();
    permission.checking->setVisible(checking && usable);
    permission.allowed->setVisible(!checking && allowed && usable);
    permission.allow->setVisible(!checking && !allowed && usable);
    permission.settings->setVisible(!checking && !allowed && usable);
    if (!usable)
        permission.detail->setText(unavailable);
    permission.detail->setVisible(!permission.detail->text().isEmpty());
}

void SettingsPage::recheckCodex()
{
    m_codexFound = m_model.codexInstalled();
    sync();
}

void SettingsPage::setBuild(const QString& buildLabel, std::function<void()> relaunch)
{
    m_build->setText(buildLabel);
    m_build->setVisible(!buildLabel.isEmpty());
    m_relaunch = std::move(relaunch);
    m_reopen->setEnabled(bool(m_relaunch));
}

void SettingsPage::sync()
{
    // Rewriting the field while it holds the same text would move the cursor under the user.
    if (m_key->text() != m_model.apiKey())
        m_key->setText(m_model.apiKey());
    const bool active = m_model.active();
    m_saveKey->setText(m_model.keySaved() ? QStringLiteral("Replace saved key") : QStringLiteral("Save to keyring"));
    m_saveKey->setEnabled(!active && !m_model.apiKey().trimmed().isEmpty());
    m_removeKey->setEnabled(!active && m_model.keySaved());
    m_credentialNotice->setText(m_model.credentialNotice().value_or(QString()));
    m_credentialNotice->setVisible(m_model.credentialNotice().has_value());

    island::setIcon(m_codexIcon, m_codexFound ? QStringLiteral("checkmark.circle.fill")
                                              : QStringLiteral("exclamationmark.circle"),
                    m_codexFound ? Ink::leaf : Ink::warning);
    m_codexTitle->setText(m_codexFound ? QStringLiteral("Codex installed") : QStringLiteral("Codex unavailable"));
    m_codexText->setText(m_codexFound ? QStringLiteral(
                                            "Codex CLI is installed. Account and tool access are checked when a task starts.")
                                      : QStringLiteral("Codex CLI is not installed."));
    m_codexCheck->setVisible(!m_codexFound);

    m_shortcut->setCurrentIndex(int(std::find(kHotkeyModifiers.begin(), kHotkeyModifiers.end(), m_model.shortcut())
                                    - kHotkeyModifiers.begin()));
    if (m_wake->isChecked() != m_model.wakeWordEnabled()) {
        const QSignalBlocker quiet(m_wake);
        m_wake->setChecked(m_model.wakeWordEnabled());
    }
    m_wakeStatus->setText(m_model.wakeWordStatus());
    m_wakeStatus->setVisible(!m_model.wakeWordStatus().isEmpty());
    const bool wakeAccessMissing = !m_model.microphoneAllowed() || !m_model.speechAllowed();
    m_wakeAllow->setVisible(wakeAccessMissing && !m_model.wakePermissionPending());
    m_wakePending->setVisible(wakeAccessMissing && m_model.wakePermissionPending());

    const bool wayland = host::isWaylandSession();
    syncRow(m_permissions[0], m_model.microphoneAllowed(), false, {});
    syncRow(m_permissions[1], m_model.screenAllowed() && !wayland, m_model.screenPermissionChecking(),
            wayland ? QString::fromUtf8(host::waylandScreenUnavailable) : QString());
    syncRow(m_permissions[2], m_model.inputMonitoringAllowed() && !wayland, false,
            wayland ? QString::fromUtf8(host::waylandShortcutUnavailable) : QString());

    const bool unconfirmed = !wayland && !m_model.screenAllowed() && !m_model.screenPermissionChecking();
    m_screenUnconfirmed->setVisible(unconfirmed);
    m_screenSettings->setVisible(unconfirmed);
    m_screenNotice->setText(m_model.screenPermissionNotice().value_or(QString()));
    m_screenNotice->setVisible(unconfirmed && m_model.screenPermissionNotice().has_value());

    m_error->setText(m_model.error().value_or(QString()));
    m_error->setVisible(m_model.error().has_value());
}

} // namespace kestrabo
