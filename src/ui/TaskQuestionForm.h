#pragma once

#include "codex/CodexQuestion.h"

#include <QFrame>
#include <QList>
#include <QMap>

#include <functional>

class QLineEdit;
class QPushButton;

namespace kestrabo {

// Answers one Codex question request on a task card: each question's options and, where
// Codex takes free text, a field; "Send answer" hands back every answer trimmed, one each.
class TaskQuestionForm : public QFrame {
    Q_OBJECT
public:
    TaskQuestionForm(const QString& taskTitle, CodexQuestionRequest request, QWidget* parent = nullptr);

    const CodexQuestionRequest& request() const { return m_request; }
    std::function<void(const CodexAnswers&)> onSubmit;

private:
    struct Choice {
        QPushButton* button;
        QString label;
    };
    struct Question {
        QString id;
        QList<Choice> choices;
        QLineEdit* field = nullptr;
    };

    void choose(qsizetype question, const QString& answer);

    CodexQuestionRequest m_request;
    QList<Question> m_questions;
    QMap<QString, QString> m_answers;
};

} // namespace kestrabo
