#pragma once

#include <stdexcept>
#include <string>

namespace qz {

// The error statuses of the whole program. Numbers are fixed: they reach the
// user in the top-level error report, so keep them stable.
enum class ErrorNumber : int {
    InvalidArgument = 5, // an empty text where a character is needed
    Overflow = 6, // a value outside a byte, or outside a 16-bit pad number
    OutOfRange = 9, // an index outside an array
};

// The one exception type of the program: an error status with a number and a
// text. Every operation that fails with a status throws this; an operation
// that succeeds returns normally.
class Error : public std::runtime_error {
public:
    Error(int number, const std::string& text)
        : std::runtime_error(text)
        , number_(number)
    {
    }
    Error(ErrorNumber number, const std::string& text)
        : Error(static_cast<int>(number), text)
    {
    }

    int Number() const noexcept { return number_; }
    std::string Text() const { return what(); }

    static Error InvalidArgument(const std::string& detail = {})
    {
        return Error(ErrorNumber::InvalidArgument, Describe("Invalid procedure call or argument", detail));
    }
    static Error Overflow(const std::string& detail = {})
    {
        return Error(ErrorNumber::Overflow, Describe("Overflow", detail));
    }
    static Error OutOfRange(const std::string& detail = {})
    {
        return Error(ErrorNumber::OutOfRange, Describe("Subscript out of range", detail));
    }

private:
    static std::string Describe(const char* base, const std::string& detail)
    {
        return detail.empty() ? std::string(base) : std::string(base) + ": " + detail;
    }

    int number_;
};

} // namespace qz
