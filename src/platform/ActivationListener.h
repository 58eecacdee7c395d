#pragma once

#include <functional>
#include <memory>

namespace kestrabo {

// Reports when the desktop activates a window of another process.
class ActivationListener {
public:
    virtual ~ActivationListener() = default;
    std::function<void()> onOtherApplicationActivated;
};

// The desktop's listener, or none where activations cannot be seen.
std::unique_ptr<ActivationListener> makeActivationListener();

} // namespace kestrabo
