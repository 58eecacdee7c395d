#pragma once

#include <QList>
#include <QObject>
#include <QString>

#include <functional>

namespace kestrabo {

enum class ComputerTaskState { starting, working, review, manualReview, completed, failed, cancelled };

QString rawValue(ComputerTaskState state);
// starting, working and review are active.
bool isActive(ComputerTaskState state);

// One computer task carried out by its own Codex worker.
class ComputerTaskSession : public QObject {
    Q_OBJECT
public:
    explicit ComputerTaskSession(QString title, QObject* parent = nullptr)
        : QObject(parent), m_title(std::move(title))
    {
    }

    const QString& title() const { return m_title; }
    ComputerTaskState state() const { return m_state; }
    // The worker's current status line.
    QString status() const { return m_status; }

Q_SIGNALS:
    void changed();

private:
    QString m_title;
    ComputerTaskState m_state = ComputerTaskState::starting;
    QString m_status;
};

// Owns every computer task of the app's lifetime.
class ComputerTaskManager : public QObject {
    Q_OBJECT
public:
    explicit ComputerTaskManager(QObject* parent = nullptr) : QObject(parent) {}

    std::function<void(ComputerTaskSession*, const QString&)> onResult;
    std::function<void(ComputerTaskSession*, const QString&)> onReview;

    const QList<ComputerTaskSession*>& sessions() const { return m_sessions; }
    void stopAll() {}

Q_SIGNALS:
    void changed();

private:
    QList<ComputerTaskSession*> m_sessions;
};

} // namespace kestrabo
