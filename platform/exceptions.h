#pragma once

#include <exception>
#include <string>

namespace signposter {

// Root of every error the program raises on purpose. Each class names itself so that front ends can
// report "<class>: <message>" without run-time type names, which differ between compilers.
class Exception : public std::exception {
public:
    explicit Exception(std::string message) : m_message(std::move(message)) {}
    const char* what() const noexcept override { return m_message.c_str(); }
    const std::string& Message() const noexcept { return m_message; }
    virtual const char* ClassName() const noexcept { return "Exception"; }

private:
    std::string m_message;
};

#define SIGNPOSTER_EXCEPTION_CLASS(Name, Parent)                          \
    class Name : public Parent {                                          \
    public:                                                               \
        using Parent::Parent;                                             \
        const char* ClassName() const noexcept override { return #Name; } \
    }

// A text that is not a whole number: "'%s' is not a valid integer value".
SIGNPOSTER_EXCEPTION_CLASS(EConvertError, Exception);
// File primitives: "Cannot open file %s" and "Cannot create file %s".
SIGNPOSTER_EXCEPTION_CLASS(EStreamError, Exception);
SIGNPOSTER_EXCEPTION_CLASS(EFOpenError, EStreamError);
SIGNPOSTER_EXCEPTION_CLASS(EFCreateError, EStreamError);

[[noreturn]] void RaiseCannotOpenFile(const std::string& path);
[[noreturn]] void RaiseCannotCreateFile(const std::string& path);

}  // namespace signposter
