#pragma once

#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <memory>
#include <vector>

namespace kestrabo::test {

// A private PulseAudio server for one test: a null sink "spk" (the speaker, 48 kHz stereo) and
// a null sink "micsink" (16 kHz mono) whose monitor is the default source, i.e. the microphone.
// Everything lives in a temporary runtime directory; this process's libpulse is pointed at it,
// and every process started here is stopped by its PID.
class PulseDaemon {
public:
    PulseDaemon();
    ~PulseDaemon();

    // Starts the server and silent low-latency feeds into both sinks (an idle null sink runs
    // with a 2-second latency). Returns an error text, or empty on success.
    QString start();

    // Runs a client tool (pactl, pacat, parec, …) against this server and waits for it.
    bool run(const QString& program, const QStringList& arguments, QByteArray* output = nullptr);
    // Starts a client tool in the background; it is stopped with the server.
    QProcess* spawn(const QString& program, const QStringList& arguments);
    // Plays 16 kHz mono 16-bit samples into the microphone.
    QProcess* feedMicrophone(const std::vector<int16_t>& samples);

    QString runtimePath() const { return m_directory.path(); }

private:
    QProcessEnvironment clientEnvironment() const;

    QTemporaryDir m_directory;
    std::unique_ptr<QProcess> m_server;
    std::vector<std::unique_ptr<QProcess>> m_clients;
};

// Signal helpers for audio tests.
// Power of `samples` at `frequency` (Goertzel).
double tonePower(const std::vector<float>& samples, double sampleRate, double frequency);
// The strongest frequency, in 10 Hz steps from 100 Hz up to `highest`.
double dominantFrequency(const std::vector<float>& samples, double sampleRate, double highest = 6000);
std::vector<float> pcm16ToFloat(const QByteArray& bytes);

} // namespace kestrabo::test
