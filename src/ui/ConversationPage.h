#pragma once

#include <QList>
#include <QWidget>

class QLabel;
class QPushButton;

namespace kestrabo {

class AppModel;

// The expanded card's conversation page: welcome, subtitles or captions, the screen context,
// notices, the tasks section and the talk button with the duration.
class ConversationPage : public QWidget {
    Q_OBJECT
public:
    ConversationPage(AppModel& model, QWidget* parent);
    void sync();

private:
    struct Row {
        QWidget* row;
        QLabel* speaker;
        QLabel* text;
    };

    AppModel& m_model;
    QWidget* m_welcome;
    QLabel* m_hint;
    QList<Row> m_rows;
    QLabel* m_contextIcon;
    QLabel* m_context;
    QPushButton* m_clear;
    QWidget* m_audioRow;
    QLabel* m_audioNotice;
    QLabel* m_error;
    QLabel* m_tasks;
    QPushButton* m_talk;
    QLabel* m_duration;
};

} // namespace kestrabo
