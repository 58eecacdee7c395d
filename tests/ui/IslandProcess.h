#pragma once

#include <QByteArray>
#include <QProcess>
#include <QRect>
#include <QString>

namespace kestrabo::test {

// The island in a process of its own on a real X display: this test executable started again,
// running a model and a panel controller on the xcb platform, driven by one-line commands
// ("expand", "collapse", "settings", "ready", "conversation", "tasks", "state",
// "shot PATH").
class IslandProcess {
public:
    ~IslandProcess() { stop(); }
    bool start(const QByteArray& display);
    // The reply line, or empty when the process did not answer.
    QString command(const QString& line);
    void stop();

    struct State {
        bool expanded = false;
        QRect frame;
        quint64 window = 0;
        // The key field's centre on the screen, and the key the model holds.
        QPoint field;
        QString key;
    };
    State state();

private:
    QProcess m_process;
};

} // namespace kestrabo::test
