#pragma once

#include "codex/CodexQuestion.h"

#include <QFrame>
#include <QList>
#include <QPointer>

#include <functional>

class QLabel;
class QPushButton;
class QVBoxLayout;

namespace kestrabo {

class ComputerTaskSession;
class TaskQuestionForm;

// One computer task on the conversation page: its title and status, the controls its state
// allows, a form per pending Codex question and its result, clipped until asked for in full.
class WorkerCard : public QFrame {
    Q_OBJECT
public:
    WorkerCard(ComputerTaskSession& session, QWidget* parent = nullptr);

    ComputerTaskSession* session() const { return m_session; }

    std::function<void()> onStop;
    std::function<void()> onReview;
    std::function<void()> onAllow;
    std::function<void()> onDecline;
    std::function<void(const QString& requestID, const CodexAnswers&)> onAnswer;

    // Follows the session; cheap when nothing changed.
    void sync();

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    void syncForms();
    void syncClip();

    QPointer<ComputerTaskSession> m_session;
    QLabel* m_title;
    QLabel* m_status;
    QPushButton* m_stop;
    QPushButton* m_allow;
    QPushButton* m_decline;
    QPushButton* m_review;
    QVBoxLayout* m_forms;
    QList<TaskQuestionForm*> m_shownForms;
    QLabel* m_result;
    QPushButton* m_resultToggle;
    bool m_showFullResult = false;
};

} // namespace kestrabo
