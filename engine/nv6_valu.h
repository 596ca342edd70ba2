// TnvValue: the small tagged value that crosses the engine's outer interfaces where the
// original design used the platform's variants: values handed to a table in one go
// (`FillFromValues`) and the values flowing between the nodes of an expression tree.
// It holds nothing (null / unassigned), a text, a double or a boolean. Cheap to copy.
#pragma once

#include <string>
#include <utility>
#include <variant>

class TnvValue {
public:
    enum class Kind { Null, Text, Number, Boolean };

    TnvValue() = default;
    static TnvValue Text(std::string s) { return TnvValue(std::move(s)); }
    static TnvValue Number(double d) { return TnvValue(d); }
    static TnvValue Boolean(bool b) { return TnvValue(b); }

    Kind GetKind() const { return static_cast<Kind>(v_.index()); }
    bool IsNull() const { return v_.index() == 0; }
    bool IsText() const { return v_.index() == 1; }
    bool IsNumber() const { return v_.index() == 2; }
    bool IsBoolean() const { return v_.index() == 3; }

    // REQUIRES: the value is of the kind asked for.
    const std::string& AsText() const { return std::get<1>(v_); }
    std::string& AsText() { return std::get<1>(v_); }
    double AsNumber() const { return std::get<2>(v_); }
    bool AsBoolean() const { return std::get<3>(v_); }

    bool operator==(const TnvValue&) const = default;

private:
    explicit TnvValue(std::string s) : v_(std::move(s)) {}
    explicit TnvValue(double d) : v_(d) {}
    explicit TnvValue(bool b) : v_(b) {}
    std::variant<std::monostate, std::string, double, bool> v_;
};
