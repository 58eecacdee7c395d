#pragma once

#include <QString>
#include <QTemporaryDir>

#include <functional>

namespace kestrabo::test {

// Runs the event loop until `condition` holds or `timeoutMs` passes; returns the condition.
bool waitUntil(const std::function<bool()>& condition, int timeoutMs = 5'000);

// Runs the event loop for `milliseconds`.
void spin(int milliseconds);

// A path under the source tree's tests/fixtures folder.
QString fixturePath(const QString& name);

} // namespace kestrabo::test
