// Outcome<T>: what every routine returns. Routines never throw across the module boundary;
// they hand back either a value or an Error whose only use is its display text.
#pragma once

#include <optional>
#include <string>
#include <utility>

namespace pelmora {

struct Error {
    enum class Kind {
        Io,           // a file routine's error: the calling function raises its own class (OSError or RuntimeError)
        Value,        // an argument value the routine refuses before doing any work: ValueError
        Panic,        // a broken precondition or an explicit stop: PanicException
        Interrupted,  // stopped because interrupted() said so: the binding raises what the handler raised
    };
    Kind kind = Kind::Io;
    std::string message;

    static Error io(std::string text) { return {Kind::Io, std::move(text)}; }
    static Error value(std::string text) { return {Kind::Value, std::move(text)}; }
    static Error panic(std::string text) { return {Kind::Panic, std::move(text)}; }
    static Error interrupted() { return {Kind::Interrupted, "interrupted"}; }
};

template <class T>
class [[nodiscard]] Outcome {
public:
    Outcome(T value) : value_(std::move(value)) {}
    Outcome(Error error) : error_(std::move(error)) {}

    bool ok() const noexcept { return value_.has_value(); }
    explicit operator bool() const noexcept { return ok(); }
    T& value() & { return *value_; }
    T&& value() && { return std::move(*value_); }
    const Error& error() const { return error_; }

private:
    std::optional<T> value_;
    Error error_;
};

template <>
class [[nodiscard]] Outcome<void> {
public:
    Outcome() = default;
    Outcome(Error error) : failed_(true), error_(std::move(error)) {}

    bool ok() const noexcept { return !failed_; }
    explicit operator bool() const noexcept { return ok(); }
    const Error& error() const { return error_; }

private:
    bool failed_ = false;
    Error error_;
};

}  // namespace pelmora
