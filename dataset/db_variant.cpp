#include "db_variant.h"

#include <cmath>

#include "db_consts.h"
#include "db_conv.h"

const char* TVariant::KindName() const {
    switch (GetKind()) {
        case Kind::Empty: return "Empty";
        case Kind::Null: return "Null";
        case Kind::Boolean: return "Boolean";
        case Kind::Integer: return "Int64";
        case Kind::Float: return "Double";
        case Kind::DateTime: return "Date";
        case Kind::String: return "String";
        case Kind::Array: return "Array";
    }
    return "Unknown";
}

void TVariant::CastError(const char* target) const {
    throw EVariantError(NvFormat(dbmsg::SVarTypeCast, {KindName(), target}));
}

std::string TVariant::AsString() const {
    switch (GetKind()) {
        case Kind::Empty:
        case Kind::Null: return "";
        case Kind::Boolean: return std::get<bool>(v_) ? "True" : "False";
        case Kind::Integer: return std::to_string(std::get<int64_t>(v_));
        case Kind::Float: return FloatToStr(std::get<double>(v_));
        case Kind::DateTime: return DateTimeToStr(std::get<DateTag>(v_).value);
        case Kind::String: return std::get<std::string>(v_);
        case Kind::Array: break;
    }
    CastError("String");
}

double TVariant::AsFloat() const {
    switch (GetKind()) {
        case Kind::Empty:
        case Kind::Null: return 0;
        case Kind::Boolean: return std::get<bool>(v_) ? -1 : 0;
        case Kind::Integer: return static_cast<double>(std::get<int64_t>(v_));
        case Kind::Float: return std::get<double>(v_);
        case Kind::DateTime: return std::get<DateTag>(v_).value;
        case Kind::String: {
            double d;
            if (TryStrToFloat(std::get<std::string>(v_), d)) return d;
            break;
        }
        case Kind::Array: break;
    }
    CastError("Double");
}

int64_t TVariant::AsInteger() const {
    switch (GetKind()) {
        case Kind::Integer: return std::get<int64_t>(v_);
        case Kind::String: {
            int64_t i;
            if (TryStrToInt64(std::get<std::string>(v_), i)) return i;
            break;
        }
        case Kind::Array: break;
        default: {
            double d = AsFloat();
            if (std::fabs(d) < 9.2e18) return std::llround(d);
            break;
        }
    }
    CastError("Int64");
}

bool TVariant::AsBoolean() const {
    switch (GetKind()) {
        case Kind::Empty:
        case Kind::Null: return false;
        case Kind::Boolean: return std::get<bool>(v_);
        case Kind::Integer: return std::get<int64_t>(v_) != 0;
        case Kind::Float: return std::get<double>(v_) != 0;
        case Kind::DateTime: return std::get<DateTag>(v_).value != 0;
        case Kind::String: {
            const std::string& s = std::get<std::string>(v_);
            if (SameText(s, "True")) return true;
            if (SameText(s, "False")) return false;
            double d;
            if (TryStrToFloat(s, d)) return d != 0;
            break;
        }
        case Kind::Array: break;
    }
    CastError("Boolean");
}

TDateTime TVariant::AsDateTime() const {
    switch (GetKind()) {
        case Kind::DateTime: return std::get<DateTag>(v_).value;
        case Kind::String: {
            TDateTime d;
            if (TryStrToDateTime(std::get<std::string>(v_), d)) return d;
            break;
        }
        case Kind::Array: break;
        default: return AsFloat();
    }
    CastError("Date");
}

size_t TVariant::Count() const {
    if (IsArray()) return Items().size();
    return IsEmpty() ? 0 : 1;
}

const TVariant& TVariant::operator[](size_t i) const {
    if (IsArray()) {
        if (i < Items().size()) return Items()[i];
    } else if (i == 0) {
        return *this;
    }
    throw EVariantError("Variant or safe array index out of bounds");
}

bool TVariant::operator==(const TVariant& other) const { return v_ == other.v_; }
