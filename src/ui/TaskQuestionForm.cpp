#include "ui/TaskQuestionForm.h"

#include "ui/IslandWidgets.h"

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QStyle>
#include <QVBoxLayout>

namespace kestrabo {

using island::Ink;

namespace {

// A bordered button that shows the option's label over its description.
QPushButton* optionButton(QWidget* parent, const CodexQuestionOption& option)
{
    auto* button = island::button(parent, QString());
    button->setObjectName(QStringLiteral("question.option"));
    button->setProperty("bordered", true);
    button->setAccessibleName(option.label);
    auto* lines = new QVBoxLayout(button);
    lines->setContentsMargins(10, 6, 10, 6);
    lines->setSpacing(1);
    auto* label = island::text(button, option.label, 11, QFont::Medium);
    label->setAttribute(Qt::WA_TransparentForMouseEvents);
    lines->addWidget(label);
    if (!option.description.isEmpty()) {
        auto* description = island::text(button, option.description, 10, QFont::Normal, Ink::secondary);
        description->setAttribute(Qt::WA_TransparentForMouseEvents);
        lines->addWidget(description);
    }
    button->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Minimum);
    return button;
}

} // namespace

TaskQuestionForm::TaskQuestionForm(const QString& taskTitle, CodexQuestionRequest request, QWidget* parent)
    : QFrame(parent), m_request(std::move(request))
{
    setObjectName(QStringLiteral("question.form"));
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(0, 4, 0, 0);
    column->setSpacing(6);
    column->addWidget(island::text(this, QStringLiteral("Codex needs your answer"), 12, QFont::DemiBold, Ink::leaf));

    for (const CodexQuestion& question : m_request.questions) {
        const qsizetype index = m_questions.size();
        Question shown{question.id, {}, nullptr};
        if (!question.header.isEmpty())
            column->addWidget(island::text(this, question.header, 11, QFont::DemiBold));
        if (!question.prompt.isEmpty())
            column->addWidget(island::text(this, question.prompt, 12));
        for (const CodexQuestionOption& option : question.options) {
            QPushButton* button = optionButton(this, option);
            connect(button, &QPushButton::clicked, this, [this, index, label = option.label] { choose(index, label); });
            column->addWidget(button);
            shown.choices.append({button, option.label});
        }
        if (question.options.isEmpty() || question.allowsOther) {
            const QString subject = question.header.isEmpty() ? question.prompt : question.header;
            auto* field = new QLineEdit(this);
            field->setObjectName(QStringLiteral("question.field"));
            if (question.isSecret) {
                field->setEchoMode(QLineEdit::Password);
                field->setPlaceholderText(QStringLiteral("Private answer"));
                field->setAccessibleName(QStringLiteral("Private answer for ") + subject);
            } else {
                field->setPlaceholderText(question.options.isEmpty() ? QStringLiteral("Your answer")
                                                                     : QStringLiteral("Another answer"));
                field->setAccessibleName(QStringLiteral("Answer for ") + subject);
            }
            connect(field, &QLineEdit::textEdited, this, [this, index](const QString& text) { choose(index, text); });
            column->addWidget(field);
            shown.field = field;
        }
        m_questions.append(shown);
    }

    auto* send = island::button(this, QStringLiteral("Send answer"));
    send->setObjectName(QStringLiteral("question.send"));
    send->setProperty("prominent", true);
    send->setAccessibleName(QStringLiteral("Send answers to ") + taskTitle);
    connect(send, &QPushButton::clicked, this, [this] {
        CodexAnswers answers;
        for (const Question& question : m_questions)
            answers.insert(question.id, {m_answers.value(question.id).trimmed()});
        if (onSubmit)
            onSubmit(answers);
    });
    column->addWidget(send, 0, Qt::AlignLeft);
}

void TaskQuestionForm::choose(qsizetype index, const QString& answer)
{
    Question& question = m_questions[index];
    m_answers.insert(question.id, answer);
    // The field and the options share one answer: a chosen option fills the field, and typing
    // an option's label picks it.
    if (question.field && question.field->text() != answer)
        question.field->setText(answer);
    for (const Choice& choice : question.choices) {
        const bool chosen = choice.label == answer;
        if (choice.button->property("tinted").toBool() == chosen)
            continue;
        choice.button->setProperty("tinted", chosen);
        choice.button->update();
    }
}

} // namespace kestrabo
