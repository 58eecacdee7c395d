#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <vector>

namespace kestrabo {

// A value that some asynchronous work will produce once, awaited by any number of later
// consumers: those that ask after it arrived get it in the same turn, earlier ones when it
// arrives. Main thread only. Dropping a Pending before it resolves leaves waiters unanswered,
// which is what cancelling the work behind it means.
template <class T>
class Pending {
public:
    Pending() : m_state(std::make_shared<State>()) {}

    void resolve(T value) const
    {
        if (m_state->value)
            return;
        m_state->value = std::move(value);
        auto waiters = std::move(m_state->waiters);
        m_state->waiters.clear();
        for (auto& waiter : waiters)
            waiter(*m_state->value);
    }

    void then(std::function<void(const T&)> waiter) const
    {
        if (m_state->value)
            waiter(*m_state->value);
        else
            m_state->waiters.push_back(std::move(waiter));
    }

    bool isResolved() const { return m_state->value.has_value(); }

private:
    struct State {
        std::optional<T> value;
        std::vector<std::function<void(const T&)>> waiters;
    };
    std::shared_ptr<State> m_state;
};

} // namespace kestrabo
