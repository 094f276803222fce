// The common exception base of the whole system and the exception classes and
// enumerations of the library's types module. Stateless; safe from any thread.
#pragma once

#include <cstdint>
#include <exception>
#include <string>
#include <string_view>

namespace gax {

// Every failure raised inside the system is an Exception (or a subclass) that
// carries a UTF-16 message; log lines print ClassName() and Message(), so each
// subclass reports its own name.
class Exception : public std::exception {
  public:
    explicit Exception(std::u16string message);
    // UTF-8 messages; a message that is not UTF-8 is read one unit per byte.
    explicit Exception(std::string_view asciiMessage);
    Exception(const Exception&) = default;
    Exception& operator=(const Exception&) = default;
    ~Exception() override = default;

    const std::u16string& Message() const noexcept { return f_Message; }
    virtual std::u16string_view ClassName() const noexcept { return u"Exception"; }
    // UTF-8 rendering of the message, for diagnostics outside the log.
    const char* what() const noexcept override { return f_Utf8.c_str(); }

  private:
    std::u16string f_Message;
    std::string f_Utf8;
};

// The class name a log line shows for aError: an Exception's own name, else
// the readable (demangled) name of its type.
std::u16string ExceptionClassName(const std::exception& aError);
// "<class>: <message>" of aError, as the log lines print a failure.
std::u16string DescribeException(const std::exception& aError);
// The same of the exception being handled ("unknown exception: " for a value
// of no exception class). REQUIRES: called inside a catch block.
std::u16string DescribeCurrentException();

}  // namespace gax

// Declares an exception class derived from Parent that reports its own name.
// The arguments are class names and cannot be parenthesised.
// NOLINTBEGIN(bugprone-macro-parentheses)
#define GAX_DECLARE_EXCEPTION(Name, Parent)                                           \
    class Name : public Parent {                                                      \
      public:                                                                         \
        using Parent::Parent;                                                         \
        std::u16string_view ClassName() const noexcept override { return u"" #Name; } \
    }
// NOLINTEND(bugprone-macro-parentheses)

namespace gax {

GAX_DECLARE_EXCEPTION(ELineLengthTooLong, Exception);
// Failed conversion of a text into a value (hex digits, numbers).
GAX_DECLARE_EXCEPTION(EConvertError, Exception);
GAX_DECLARE_EXCEPTION(ENotImplemented, Exception);
GAX_DECLARE_EXCEPTION(EWaiterException, Exception);
GAX_DECLARE_EXCEPTION(EWaiterIndexOutOfRange, EWaiterException);
GAX_DECLARE_EXCEPTION(EWaiterTooLargeTime, EWaiterException);
GAX_DECLARE_EXCEPTION(EWaiterResourceIsNULL, EWaiterException);
GAX_DECLARE_EXCEPTION(EWaiterResourcesNotMatch, EWaiterException);
GAX_DECLARE_EXCEPTION(EWaiterNoFreeResources, EWaiterException);
GAX_DECLARE_EXCEPTION(EWaiterTooManyResources, EWaiterException);
GAX_DECLARE_EXCEPTION(EWaiterInvalidWaitFlags, EWaiterException);
GAX_DECLARE_EXCEPTION(EWaiterRegisterNotAllowed, EWaiterException);

// Result of one wait of the socket waiter.
enum TWaiterResult : uint8_t { wr_Timeout = 0, wr_Descriptor = 1, wr_Interrupt = 2, wr_Error = 3 };

[[noreturn]] void RaiseLineTooLong();
// "Not implemented: " + what, or "Not implemented" when what is empty.
[[noreturn]] void RaiseNotImplemented(std::u16string_view what = {});
// Raised by every writer that checks the room of a caller's buffer.
[[noreturn]] void RaiseBufferTooSmall();

}  // namespace gax
