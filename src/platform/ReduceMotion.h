#pragma once

namespace kestrabo::platform {

// The desktop asks for less motion: KESTRABO_REDUCE_MOTION=1, or GNOME's animations turned off
// (read once through gsettings when it is installed).
bool reduceMotion();

} // namespace kestrabo::platform
