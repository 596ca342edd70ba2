// TVariant: the framework's dynamically typed value, used for field values (TField::Value),
// the key values of Locate and Lookup and the result of Lookup. It is unassigned, null, a
// boolean, a whole number, a float, a date-time, a text or an array of variants (several
// key values at once). Cheap to copy; conversions raise EVariantError.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <variant>
#include <vector>

#include "db_types.h"

class TVariant {
public:
    enum class Kind { Empty, Null, Boolean, Integer, Float, DateTime, String, Array };

    TVariant() = default;  // unassigned
    TVariant(bool b) : v_(b) {}
    TVariant(int i) : v_(static_cast<int64_t>(i)) {}
    TVariant(int64_t i) : v_(i) {}
    TVariant(double d) : v_(d) {}
    TVariant(const char* s) : v_(std::string(s ? s : "")) {}
    TVariant(std::string s) : v_(std::move(s)) {}
    TVariant(std::vector<TVariant> items) : v_(std::move(items)) {}

    static TVariant Null() { TVariant v; v.v_ = NullTag{}; return v; }
    static TVariant FromDateTime(TDateTime d) { TVariant v; v.v_ = DateTag{d}; return v; }

    Kind GetKind() const { return static_cast<Kind>(v_.index()); }
    bool IsEmpty() const { return GetKind() == Kind::Empty; }
    bool IsNull() const { return GetKind() == Kind::Null; }
    // Empty or null: "no value".
    bool IsClear() const { return IsEmpty() || IsNull(); }
    bool IsArray() const { return GetKind() == Kind::Array; }
    bool IsString() const { return GetKind() == Kind::String; }
    bool IsNumeric() const { return GetKind() == Kind::Integer || GetKind() == Kind::Float; }

    // Conversions. Null and unassigned convert to "" / 0 / False; a text converts when it
    // reads as the asked type; an array never converts.
    std::string AsString() const;
    int64_t AsInteger() const;
    double AsFloat() const;
    bool AsBoolean() const;
    TDateTime AsDateTime() const;

    // REQUIRES: IsArray().
    const std::vector<TVariant>& Items() const { return std::get<std::vector<TVariant>>(v_); }
    // Number of elements (1 for a value that is not an array, 0 for unassigned).
    size_t Count() const;
    // Element i of an array; the value itself for i == 0 when it is not an array.
    const TVariant& operator[](size_t i) const;

    // Same kind and same value (arrays element by element).
    bool operator==(const TVariant& other) const;

    // Name of the kind for messages ("Null", "String", ...).
    const char* KindName() const;

private:
    struct NullTag {
        bool operator==(const NullTag&) const = default;
    };
    struct DateTag {
        TDateTime value;
        bool operator==(const DateTag&) const = default;
    };
    [[noreturn]] void CastError(const char* target) const;
    std::variant<std::monostate, NullTag, bool, int64_t, double, DateTag, std::string,
                 std::vector<TVariant>>
        v_;
};

// An array variant of the given values.
inline TVariant VarArrayOf(std::initializer_list<TVariant> items) {
    return TVariant(std::vector<TVariant>(items));
}
