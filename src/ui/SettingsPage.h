#pragma once

#include <QList>
#include <QWidget>

#include <functional>

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;

namespace kestrabo {

class AppModel;

// The expanded card's settings page: the key, Codex, the conversation key, the wake phrase,
// the permission rows and the bottom buttons.
class SettingsPage : public QWidget {
    Q_OBJECT
public:
    SettingsPage(AppModel& model, QWidget* parent);
    void sync();
    void recheckCodex();
    void setBuild(const QString& buildLabel, std::function<void()> relaunch);

    QLineEdit* keyField() const { return m_key; }

private:
    struct PermissionRow {
        QString title;
        QLabel* icon;
        QLabel* checking;
        QLabel* allowed;
        QPushButton* allow;
        QPushButton* settings;
        QLabel* detail;
    };
    void addPermissionRow(const QString& title, std::function<void()> allow, std::function<void()> settings);
    void syncRow(PermissionRow& row, bool allowed, bool checking, const QString& unavailable);

    AppModel& m_model;
    bool m_codexFound = false;
    std::function<void()> m_relaunch;
    QLineEdit* m_key;
    QPushButton* m_saveKey;
    QPushButton* m_removeKey;
    QLabel* m_credentialNotice;
    QLabel* m_codexIcon;
    QLabel* m_codexTitle;
    QLabel* m_codexText;
    QPushButton* m_codexCheck;
    QComboBox* m_shortcut;
    QCheckBox* m_wake;
    QLabel* m_wakeStatus;
    QPushButton* m_wakeAllow;
    QLabel* m_wakePending;
    QList<PermissionRow> m_permissions;
    QLabel* m_screenUnconfirmed;
    QPushButton* m_screenSettings;
    QLabel* m_screenNotice;
    QLabel* m_error;
    QLabel* m_build;
    QPushButton* m_reopen;
};

} // namespace kestrabo
