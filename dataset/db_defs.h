// Field and index definitions: the description of a dataset's columns and orders, kept
// apart from the field objects that read and write values.
//
// A dataset owns one TFieldDefs (filled by its InternalInitFieldDefs) from which the
// default field objects are made, and a descendant with orders may own a TIndexDefs. The
// lists own their definitions; a definition's position never changes while it lives.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "db_types.h"

class TFieldDef {
public:
    TFieldDef(std::string name, TFieldType type, int size, bool required, int fieldNo)
        : name_(std::move(name)), dataType_(type), size_(size), required_(required),
          fieldNo_(fieldNo) {}

    const std::string& Name() const { return name_; }
    TFieldType DataType() const { return dataType_; }
    // Characters of a string field; 0 for the other types.
    int Size() const { return size_; }
    bool Required() const { return required_; }
    // The number the descendant reads the field by (1-based; need not be consecutive).
    int FieldNo() const { return fieldNo_; }
    int Precision() const { return precision_; }
    void SetPrecision(int p) { precision_ = p; }

private:
    std::string name_;
    TFieldType dataType_;
    int size_;
    bool required_;
    int fieldNo_;
    int precision_ = 0;
};

class TFieldDefs {
public:
    // Adds a definition; `fieldNo` 0 numbers it after the last one. Raises "Duplicate field
    // name '%s'" when the name (case-insensitive) is taken.
    TFieldDef& Add(std::string name, TFieldType type, int size = 0, bool required = false,
                   int fieldNo = 0);
    void Clear() { items_.clear(); }
    int Count() const { return static_cast<int>(items_.size()); }
    // REQUIRES: 0 <= i < Count().
    TFieldDef& operator[](int i) const { return *items_[static_cast<size_t>(i)]; }
    // Position of the definition of that name (case-insensitive), -1 when none.
    int IndexOf(std::string_view name) const;
    // Raises "Field '%s' not found" when there is none.
    TFieldDef& Find(std::string_view name) const;

    // False until the owner filled the list for its current table.
    bool Updated() const { return updated_; }
    void SetUpdated(bool v) { updated_ = v; }

private:
    std::vector<std::unique_ptr<TFieldDef>> items_;
    bool updated_ = false;
};

// One order of a dataset. `Fields` (field names separated by ";") and `Expression` share one
// text: it is the expression when ixExpression is among the options, the field list otherwise.
class TIndexDef {
public:
    TIndexDef(std::string name, std::string fieldExpression, TIndexOptions options)
        : name_(std::move(name)), fieldExpression_(std::move(fieldExpression)),
          options_(options) {}

    const std::string& Name() const { return name_; }
    TIndexOptions Options() const { return options_; }
    std::string Fields() const { return options_.Contains(ixExpression) ? "" : fieldExpression_; }
    std::string Expression() const {
        return options_.Contains(ixExpression) ? fieldExpression_ : "";
    }
    // The shared text whatever the options.
    const std::string& FieldExpression() const { return fieldExpression_; }

private:
    std::string name_;
    std::string fieldExpression_;
    TIndexOptions options_;
};

class TIndexDefs {
public:
    TIndexDef& Add(std::string name, std::string fields, TIndexOptions options);
    void Clear() { items_.clear(); }
    int Count() const { return static_cast<int>(items_.size()); }
    TIndexDef& operator[](int i) const { return *items_[static_cast<size_t>(i)]; }
    int IndexOf(std::string_view name) const;
    // Raises "Index '%s' not found".
    TIndexDef& Find(std::string_view name) const;
    bool Updated() const { return updated_; }
    void SetUpdated(bool v) { updated_ = v; }

private:
    std::vector<std::unique_ptr<TIndexDef>> items_;
    bool updated_ = false;
};
