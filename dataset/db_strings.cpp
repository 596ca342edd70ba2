#include "db_strings.h"

#include "db_conv.h"

void TStringList::Add(std::string item) {
    items_.push_back(std::move(item));
    Changed();
}

void TStringList::Insert(int index, std::string item) {
    if (index < 0) index = 0;
    if (index > Count()) index = Count();
    items_.insert(items_.begin() + index, std::move(item));
    Changed();
}

void TStringList::Delete(int index) {
    if (index < 0 || index >= Count()) return;
    items_.erase(items_.begin() + index);
    Changed();
}

void TStringList::Clear() {
    if (items_.empty()) return;
    items_.clear();
    Changed();
}

void TStringList::Assign(const TStringList& other) {
    if (&other == this) return;
    Assign(other.items_);
}

void TStringList::Assign(const std::vector<std::string>& items) {
    items_ = items;
    Changed();
}

int TStringList::IndexOf(const std::string& item) const {
    for (int i = 0; i < Count(); ++i)
        if (SameText(items_[static_cast<size_t>(i)], item)) return i;
    return -1;
}

void TStringList::EndUpdate() {
    if (updateCount_ == 0 || --updateCount_ != 0) return;
    if (pending_) {
        pending_ = false;
        if (OnChange) OnChange(*this);
    }
}

void TStringList::Changed() {
    if (updateCount_ > 0) {
        pending_ = true;
        return;
    }
    if (OnChange) OnChange(*this);
}
