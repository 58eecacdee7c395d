#pragma once

#include <QList>
#include <QWidget>

class QLabel;
class QPushButton;
class QVBoxLayout;

namespace kestrabo {

class AppModel;
class WorkerCard;

// The expanded card's conversation page: welcome, subtitles or captions, the screen context,
// notices, the tasks section and the talk button with the duration.
class ConversationPage : public QWidget {
    Q_OBJECT
public:
    ConversationPage(AppModel& model, QWidget* parent);
    void sync();
    // The answer fields of the task cards' question forms, which need the keyboard.
    QList<QWidget*> answerFields() const;

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
    QVBoxLayout* m_cardColumn;
    QList<WorkerCard*> m_cards;
    QPushButton* m_talk;
    QLabel* m_duration;
};

} // namespace kestrabo
