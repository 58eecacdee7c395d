#pragma once

#include <QApplication>
#include <QByteArray>
#include <QList>

#include <cstddef>
#include <cstdint>
#include <cstdlib>

// What every harness shares: one offscreen application for the whole run, nothing reachable
// outside loopback, and the input cut into lines (seeds hold one JSON message per line).
namespace kestrabo::fuzz {

inline void startApplication()
{
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    setenv("OPENAI_BASE_URL", "http://127.0.0.1:9/v1", 1);
    static int argc = 1;
    static char name[] = "fuzz";
    static char* argv[] = {name, nullptr};
    static QApplication application(argc, argv);
}

inline QList<QByteArray> lines(const uint8_t* data, size_t size)
{
    return QByteArray::fromRawData(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size))
        .split('\n');
}

} // namespace kestrabo::fuzz
