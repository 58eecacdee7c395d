#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QString>

#include <optional>

namespace kestrabo {

// One still picture of a display, ready to attach to a model request.
struct ScreenSnapshot {
    QByteArray jpeg;                // the whole display, longest side at most 2048 pixels
    std::optional<QByteArray> crop; // the circled region, when one was usable
    QDateTime capturedAt;
    QString displayName;
};

} // namespace kestrabo
