#include "nv6_glbl.h"

#include <cassert>

namespace {

[[noreturn]] void FormatFault(std::string_view format) {
    throw EConvertError("Format '" + std::string(format) + "' invalid or incompatible with argument");
}

}  // namespace

std::string NvFormat(std::string_view format, std::initializer_list<TnvFmtArg> args) {
    std::string out;
    out.reserve(format.size() + 32);
    auto next = args.begin();
    for (std::size_t i = 0; i < format.size(); ++i) {
        char c = format[i];
        if (c != '%') {
            out += c;
            continue;
        }
        if (i + 1 >= format.size()) FormatFault(format);
        char d = format[++i];
        if (d == '%') {
            out += '%';
            continue;
        }
        if (next == args.end()) FormatFault(format);
        if (d == 's') {
            if (!next->IsText()) FormatFault(format);
            out += next->Text();
        } else if (d == 'd') {
            if (next->IsText()) FormatFault(format);
            out += std::to_string(next->Number());
        } else {
            FormatFault(format);
        }
        ++next;
    }
    return out;
}

std::string NvMessage(TnvMsg id, std::initializer_list<TnvFmtArg> args) {
    return NvFormat(NvMessageText(id), args);
}

namespace {

[[noreturn]] void Throw(TnvMsg id, std::string text) {
    switch (NvMessageClass(id)) {
        case TnvMsgClass::Expression: throw ENorvaneExpression(std::move(text));
        case TnvMsgClass::Encryption: throw ENorvaneEncryption(std::move(text));
        case TnvMsgClass::Database:
            // The record set raises its messages with its own class; reaching here is a
            // programming fault, reported as an engine error rather than lost.
            assert(!"record-set message raised through the engine");
            throw ENorvaneError(std::move(text));
        case TnvMsgClass::Error: break;
    }
    throw ENorvaneError(std::move(text));
}

}  // namespace

void NvRaise(TnvMsg id, std::initializer_list<TnvFmtArg> args) { Throw(id, NvMessage(id, args)); }

void NvRaisePlain(TnvMsg id) { Throw(id, NvMessageText(id)); }
