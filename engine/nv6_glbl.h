// Engine-wide failure types and the way a failure is raised.
//
// Every failure inside the engine is an exception derived from `Exception`, the small base
// that stands in for the UI framework's base exception class (a message text and a help
// context that is always 0). The three engine classes derive directly from it and never from
// each other, so a handler for one does not catch the others. Texts come from the message
// table (nv6_cnst.h) at the moment of raising, formatted printf-style ("%s", "%d").
#pragma once

#include <cstdint>
#include <exception>
#include <initializer_list>
#include <string>
#include <string_view>
#include <type_traits>

#include "nv6_cnst.h"

// Root of every exception the engine, the record-set layer and the program raise.
class Exception : public std::exception {
public:
    explicit Exception(std::string message) : message_(std::move(message)) {}
    const std::string& Message() const noexcept { return message_; }
    int HelpContext() const noexcept { return 0; }
    const char* what() const noexcept override { return message_.c_str(); }

private:
    std::string message_;
};

// All engine failures that are not expression or password failures.
class ENorvaneError : public Exception {
public:
    using Exception::Exception;
};

// Parsing or evaluating an expression failed.
class ENorvaneExpression : public Exception {
public:
    using Exception::Exception;
};

// A table's password is missing, wrong or superfluous.
class ENorvaneEncryption : public Exception {
public:
    using Exception::Exception;
};

// Text that is not a number or a date. Stands for the platform's conversion error; the
// engine catches it in field conversion and raises its own clearer message instead.
class EConvertError : public Exception {
public:
    using Exception::Exception;
};

// One argument of a formatted message: a text for "%s" or a whole number for "%d".
class TnvFmtArg {
public:
    TnvFmtArg(const char* text) : isText_(true), text_(text ? text : "") {}
    TnvFmtArg(const std::string& text) : isText_(true), text_(text) {}
    TnvFmtArg(std::string_view text) : isText_(true), text_(text) {}
    template <class I, class = std::enable_if_t<std::is_integral_v<I>>>
    TnvFmtArg(I number) : isText_(false), number_(static_cast<int64_t>(number)) {}

    bool IsText() const { return isText_; }
    std::string_view Text() const { return text_; }
    int64_t Number() const { return number_; }

private:
    bool isText_;
    std::string_view text_;
    int64_t number_ = 0;
};

// Formats `format` with the arguments consumed left to right: "%s" takes a text, "%d" a
// whole number, "%%" is a percent sign. A directive that does not match its argument, or
// too few arguments, raises EConvertError (the framework's formatting error).
std::string NvFormat(std::string_view format, std::initializer_list<TnvFmtArg> args);

// Raises the exception class the message table assigns to `id`, with its formatted text.
// REQUIRES: `id` is not one of the record-set layer's messages (those raise the record
// set's own error class).
[[noreturn]] void NvRaise(TnvMsg id, std::initializer_list<TnvFmtArg> args);

// Raises the message unchanged, without any formatting.
[[noreturn]] void NvRaisePlain(TnvMsg id);

// The formatted text of a message, for layers that raise their own classes.
std::string NvMessage(TnvMsg id, std::initializer_list<TnvFmtArg> args);
