#include "db_defs.h"

#include "db_consts.h"
#include "db_conv.h"

TFieldDef& TFieldDefs::Add(std::string name, TFieldType type, int size, bool required,
                           int fieldNo) {
    if (IndexOf(name) >= 0) DatabaseErrorFmt(dbmsg::SDuplicateFieldName, {name});
    if (fieldNo == 0) fieldNo = items_.empty() ? 1 : items_.back()->FieldNo() + 1;
    items_.push_back(std::make_unique<TFieldDef>(std::move(name), type, size, required, fieldNo));
    return *items_.back();
}

int TFieldDefs::IndexOf(std::string_view name) const {
    for (size_t i = 0; i < items_.size(); ++i)
        if (SameText(items_[i]->Name(), name)) return static_cast<int>(i);
    return -1;
}

TFieldDef& TFieldDefs::Find(std::string_view name) const {
    int i = IndexOf(name);
    if (i < 0) DatabaseErrorFmt(dbmsg::SFieldNotFound, {name});
    return *items_[static_cast<size_t>(i)];
}

TIndexDef& TIndexDefs::Add(std::string name, std::string fields, TIndexOptions options) {
    items_.push_back(std::make_unique<TIndexDef>(std::move(name), std::move(fields), options));
    return *items_.back();
}

int TIndexDefs::IndexOf(std::string_view name) const {
    for (size_t i = 0; i < items_.size(); ++i)
        if (SameText(items_[i]->Name(), name)) return static_cast<int>(i);
    return -1;
}

TIndexDef& TIndexDefs::Find(std::string_view name) const {
    int i = IndexOf(name);
    if (i < 0) DatabaseErrorFmt(dbmsg::SIndexNotFound, {name});
    return *items_[static_cast<size_t>(i)];
}
