#pragma once

#include <functional>
#include <memory>

namespace kestrabo {

// Reports every pointer button press anywhere on the desktop, whichever window gets it.
// Listen-only: the press still goes where it was going.
class PointerButtonListener {
public:
    virtual ~PointerButtonListener() = default;
    std::function<void()> onPress;
};

// The desktop's listener, or none where global button presses cannot be seen.
std::unique_ptr<PointerButtonListener> makePointerButtonListener();

} // namespace kestrabo
