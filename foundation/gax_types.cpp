#include "foundation/gax_types.h"

#include <cxxabi.h>

#include <cstdlib>
#include <typeinfo>

#include "foundation/gax_ansi_unicode_converter.h"
#include "foundation/gax_strutils.h"

namespace gax {

Exception::Exception(std::u16string message)
    : f_Message(std::move(message)), f_Utf8(UnicodeToUtf8Str(f_Message)) {}

Exception::Exception(std::string_view asciiMessage) : f_Utf8(asciiMessage) {
    // Messages may carry UTF-8 names (files, hosts); bytes that are not UTF-8
    // are read one unit per byte so that no part of the message is lost.
    f_Message = Utf8BufToUnicodeStd(asciiMessage);
    if (f_Message.empty() && !asciiMessage.empty()) {
        f_Message = ByteStrToUnicode(asciiMessage);
        f_Utf8 = UnicodeToUtf8Str(f_Message);
    }
}

std::u16string ExceptionClassName(const std::exception& aError) {
    if (const auto* own = dynamic_cast<const Exception*>(&aError))
        return std::u16string(own->ClassName());
    const char* raw = typeid(aError).name();
    int status = 0;
    char* name = abi::__cxa_demangle(raw, nullptr, nullptr, &status);
    std::u16string out = ByteStrToUnicode(status == 0 && name != nullptr ? name : raw);
    std::free(name);
    return out;
}

std::u16string DescribeException(const std::exception& aError) {
    if (const auto* own = dynamic_cast<const Exception*>(&aError))
        return std::u16string(own->ClassName()) + u": " + own->Message();
    return ExceptionClassName(aError) + u": " + ByteStrToUnicode(aError.what());
}

std::u16string DescribeCurrentException() {
    try {
        throw;
    } catch (const std::exception& e) {
        return DescribeException(e);
    } catch (...) {
        return u"unknown exception: ";
    }
}

void RaiseLineTooLong() {
    throw ELineLengthTooLong("Line too long");
}
void RaiseNotImplemented(std::u16string_view what) {
    if (what.empty()) throw ENotImplemented("Not implemented");
    throw ENotImplemented(u"Not implemented: " + std::u16string(what));
}

void RaiseBufferTooSmall() {
    throw Exception("Buffer too small");
}

}  // namespace gax
