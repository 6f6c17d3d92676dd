// Results of fallible numerical operations: a value or an error text.
//
// The numerical core never raises; it hands failures back as values and the
// binding layer alone turns them into Python exceptions.  The kind says which
// exception: every documented check fails with `value` (ValueError); `type`
// is the one contiguity refusal (TypeError); `panic` marks a broken internal
// invariant (PanicException).  Running out of memory is not a value: it
// surfaces as std::bad_alloc, which the binding layer maps to MemoryError.
#pragma once

#include <string>
#include <utility>
#include <variant>

namespace quorvel {

enum class ErrorKind { value, type, panic };

struct Error {
    ErrorKind kind;
    std::string message;
};

inline Error value_error(std::string message) { return {ErrorKind::value, std::move(message)}; }
inline Error type_error(std::string message) { return {ErrorKind::type, std::move(message)}; }
inline Error panic(std::string message) { return {ErrorKind::panic, std::move(message)}; }

template <class T>
class [[nodiscard]] Result {
public:
    Result(T value) : state_(std::move(value)) {}
    Result(Error error) : state_(std::move(error)) {}

    explicit operator bool() const { return state_.index() == 0; }
    T& operator*() { return std::get<0>(state_); }
    const T& operator*() const { return std::get<0>(state_); }
    T* operator->() { return &std::get<0>(state_); }
    const T* operator->() const { return &std::get<0>(state_); }
    Error& error() { return std::get<1>(state_); }
    const Error& error() const { return std::get<1>(state_); }

private:
    std::variant<T, Error> state_;
};

struct Ok {};
using Status = Result<Ok>;

}  // namespace quorvel
