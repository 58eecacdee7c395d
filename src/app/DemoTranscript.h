#pragma once

#include "tasks/ComputerTask.h"

#include <QHash>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QUuid>

namespace kestrabo {

class AppModel;
class PanelController;

// The demo's console: prints the conversation as it happens (state, what each side said, the
// computer tasks, Codex's questions and the answers given) and leaves a picture of the island
// at each step, numbered and named after it.
class DemoTranscript : public QObject {
public:
    // `directory` receives the pictures; earlier ones in it are removed. Without a controller
    // nothing is pictured.
    DemoTranscript(AppModel& model, PanelController* controller, const QString& directory);

    // Takes the pictures still due and says where they are.
    void finish();

private:
    void update();
    void line(const QString& text);
    void shoot(int step, const QString& name);

    AppModel& m_model;
    PanelController* m_controller;
    QString m_directory;
    QStringList m_last;
    QHash<QUuid, ComputerTaskState> m_tasks;
    QHash<int, QString> m_due;
    int m_step = 0;
    int m_saved = 0;
    bool m_finished = false;
};

} // namespace kestrabo
