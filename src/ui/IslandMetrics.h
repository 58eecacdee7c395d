#pragma once

#include "ui/NotchGeometry.h"

#include <QSizeF>
#include <QString>

// The island's sizing rules, free of widgets so they can be checked directly.
namespace kestrabo::island {

inline constexpr double kRevealSeconds = 0.32;
inline constexpr int kFrameIntervalMs = 1000 / 60;

double maximumHeight(double screenHeight);

// What the expanded card's page asks for.
struct ContentNeeds {
    bool settings = false;
    bool captions = false;
    bool sessions = false;
    bool audioNotice = false;
    bool error = false;
};
double contentHeight(const ContentNeeds& needs, double maximumHeight, double notchHeight);

// The panel's size: `busy` is a conversation active or a task running.
QSizeF panelSize(const NotchGeometry& notch, bool expanded, bool busy, double contentHeight);

// Ease-out over the reveal time: 1 − (1 − progress)³.
double eased(double elapsedSeconds);

// "%d:%02d" of whole minutes and seconds; empty at 0 seconds or less.
QString durationText(double seconds);

} // namespace kestrabo::island
