#pragma once

#include <QObject>

#include <functional>

namespace kestrabo {

// Listens for "Hey kestrabo" while no conversation runs. The owner decides when listening is
// wanted. Without a recogniser backend it never hears anything.
class WakeWordListener : public QObject {
    Q_OBJECT
public:
    explicit WakeWordListener(QObject* parent = nullptr) : QObject(parent) {}

    std::function<void()> onWake;
    std::function<void(const QString&)> onStatus;

    bool wanted = false;

    void beginRecognition() { m_listening = wanted; }
    void tearDown() { m_listening = false; }
    bool isListening() const { return m_listening; }

private:
    bool m_listening = false;
};

} // namespace kestrabo
