#pragma once

#include <QProcess>
#include <QTemporaryDir>

#include <memory>
#include <vector>

namespace kestrabo::test {

// A private PulseAudio server in a temporary directory, which this process's libpulse and every
// tool started here talk to: a null sink "spk" (the speaker, 48 kHz stereo) and the default
// source "mic", a virtual source (not a monitor, as a microphone must be) that hears what is
// played into the 16 kHz mono null sink "micsink". Its processes stop by PID.
class PulseDaemon {
public:
    ~PulseDaemon();
    // Tests want the sinks kept at a low latency, so that what they play is heard at once;
    // `idle` leaves them as a quiet desktop's would be (for measuring what listening costs).
    enum class Sinks { busy, idle };
    // Empty on success, else what went wrong.
    QString start(Sinks sinks = Sinks::busy);
    // Runs a client tool (pactl, pacat, …) and waits for it.
    bool run(const QString& program, const QStringList& arguments, QByteArray* output = nullptr);
    // Starts a client tool in the background until the server stops.
    QProcess* spawn(const QString& program, const QStringList& arguments);
    // Plays 16 kHz mono 16-bit little-endian audio into the microphone.
    void feedMicrophone(const QByteArray& audio);
    // Ends the server at once (SIGKILL), as a crash would.
    void killServer();

private:
    QTemporaryDir m_directory;
    std::vector<std::unique_ptr<QProcess>> m_processes; // the server first
};

} // namespace kestrabo::test
