#pragma once

#include "core/KestraboError.h"

#include <optional>
#include <utility>
#include <variant>

namespace kestrabo {

// The outcome of an operation that may fail: a value or a KestraboError.
template <class T>
class Result {
public:
    Result(T value) : m_content(std::move(value)) {}
    Result(KestraboError error) : m_content(std::move(error)) {}

    bool ok() const { return m_content.index() == 0; }
    explicit operator bool() const { return ok(); }

    T& value() & { return std::get<0>(m_content); }
    const T& value() const& { return std::get<0>(m_content); }
    T&& value() && { return std::get<0>(std::move(m_content)); }
    const KestraboError& error() const { return std::get<1>(m_content); }

private:
    std::variant<T, KestraboError> m_content;
};

// An operation without a value: success, or an error.
template <>
class Result<void> {
public:
    Result() = default;
    Result(KestraboError error) : m_error(std::move(error)) {}

    bool ok() const { return !m_error.has_value(); }
    explicit operator bool() const { return ok(); }
    const KestraboError& error() const { return *m_error; }

private:
    std::optional<KestraboError> m_error;
};

using Status = Result<void>;

} // namespace kestrabo
