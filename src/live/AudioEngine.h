#pragma once

#include "core/Result.h"

#include <QByteArray>
#include <QObject>

#include <functional>

namespace kestrabo {

// The companion's microphone and speaker. Every callback runs on the main thread.
// Until the sound-server backend is wired in, the engine starts without a device: it delivers
// no microphone audio and plays nothing.
class AudioEngine : public QObject {
    Q_OBJECT
public:
    explicit AudioEngine(QObject* parent = nullptr) : QObject(parent) {}

    std::function<void(const QByteArray&)> onAudio;
    std::function<void(float)> onLevel;
    std::function<void(bool playing)> onPlaybackState;
    std::function<void(const QString&)> onFailure;
    std::function<void(const QString&)> onNotice;

    Status start()
    {
        m_running = true;
        return {};
    }
    void stop() { m_running = false; }
    void play(const QByteArray&) {}
    bool isRunning() const { return m_running; }

private:
    bool m_running = false;
};

} // namespace kestrabo
