// Engine failures are values: the engine never throws across its interface and keeps no state.
#pragma once

#include <cassert>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

namespace chess {

enum class ErrorKind : std::uint8_t { InvalidFen, InvalidBoard, InvalidSquare, InvalidUciMove };

struct Error {
    ErrorKind kind;
    std::string fen;  // the complete rejected text, for InvalidFen only

    static Error invalid_fen(std::string_view text) { return Error{ErrorKind::InvalidFen, std::string(text)}; }
    static Error of(ErrorKind kind) { return Error{kind, {}}; }
};

// Either a value or an error, by default an Error.
template <class T, class E = Error>
class Result {
public:
    Result(T value) : v_(std::move(value)) {}
    Result(E error) : v_(std::move(error)) {}

    bool ok() const { return v_.index() == 0; }
    explicit operator bool() const { return ok(); }

    const T& value() const& { assert(ok()); return *std::get_if<0>(&v_); }
    T& value() & { assert(ok()); return *std::get_if<0>(&v_); }
    const T& operator*() const& { return value(); }
    const T* operator->() const { return &value(); }

    const E& error() const { assert(!ok()); return *std::get_if<1>(&v_); }

private:
    std::variant<T, E> v_;
};

}  // namespace chess
