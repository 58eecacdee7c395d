#pragma once

namespace kestrabo::x11 {

// Whether see-through windows really show what lies beneath them: on X only while a
// compositing manager runs (without one, their transparent pixels show as black). Other
// platforms compose by themselves.
bool compositingManagerRunning();

} // namespace kestrabo::x11
