#pragma once

// The one shape of a failure in this code: a code for programs and a detail for people who read
// logs and usage messages (in English; the front ends word what users see, and a front end's
// own parsers may word the detail for its answer). Values come back as
// Result<T>: the value, or the error that kept it from being made.

#include <stdexcept>
#include <string>
#include <utility>
#include <variant>

namespace vrel {

enum class ErrorCode {
    None,
    NotFound,    // a file or folder that is not there
    Unreadable,  // there, but it cannot be read: permissions, a folder, an input error
    Unwritable,  // it cannot be written, or not completely
    Invalid,     // content or a value that cannot be used
    Unsupported, // a format or a kind of input this code does not take
    Stopped,     // a time limit passed, or the work was cancelled
};

inline const char* ErrorCodeName(ErrorCode code) {
    switch (code) {
    case ErrorCode::None:
        return "none";
    case ErrorCode::NotFound:
        return "not_found";
    case ErrorCode::Unreadable:
        return "unreadable";
    case ErrorCode::Unwritable:
        return "unwritable";
    case ErrorCode::Invalid:
        return "invalid";
    case ErrorCode::Unsupported:
        return "unsupported";
    case ErrorCode::Stopped:
        return "stopped";
    }
    return "unknown";
}

class Error {
public:
    Error() = default; // no error
    Error(ErrorCode code, std::string detail) : code_(code), detail_(std::move(detail)) {}

    ErrorCode Code() const { return code_; }
    const std::string& Detail() const { return detail_; }
    // True when something went wrong.
    explicit operator bool() const { return code_ != ErrorCode::None; }

    friend bool operator==(const Error& a, const Error& b) {
        return a.code_ == b.code_ && a.detail_ == b.detail_;
    }
    friend bool operator!=(const Error& a, const Error& b) { return !(a == b); }

private:
    ErrorCode code_ = ErrorCode::None;
    std::string detail_;
};

// An Error carried out of code that can only throw to fail: a constructor, or a callback such as
// a worker pool's factory.
class ErrorThrown : public std::runtime_error {
public:
    explicit ErrorThrown(Error error)
        : std::runtime_error(error.Detail()), error_(std::move(error)) {}
    const Error& Get() const { return error_; }

private:
    Error error_;
};

template <typename T> class Result {
public:
    Result(T value) : state_(std::move(value)) {}
    Result(Error error) : state_(std::move(error)) {}

    bool Ok() const { return std::holds_alternative<T>(state_); }
    explicit operator bool() const { return Ok(); }

    // Only where Ok().
    T& Value() { return std::get<T>(state_); }
    const T& Value() const { return std::get<T>(state_); }
    T& operator*() { return Value(); }
    const T& operator*() const { return Value(); }
    T* operator->() { return &Value(); }
    const T* operator->() const { return &Value(); }

    // The error; no error where Ok().
    Error Err() const { return Ok() ? Error() : std::get<Error>(state_); }

private:
    std::variant<T, Error> state_;
};

} // namespace vrel
