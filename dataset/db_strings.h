// TStringList: the framework's ordered list of texts with a change notification, used for
// list-valued properties (a record set's index files) whose owner must react when a user of
// the property edits the list in place.
//
// OnChange runs after every change made through the list's own operations; between
// BeginUpdate and EndUpdate it runs once, at the final EndUpdate, when something changed.
#pragma once

#include <functional>
#include <string>
#include <vector>

class TStringList {
public:
    int Count() const { return static_cast<int>(items_.size()); }
    bool Empty() const { return items_.empty(); }
    // REQUIRES: 0 <= i < Count().
    const std::string& operator[](int i) const { return items_[static_cast<size_t>(i)]; }
    const std::vector<std::string>& Items() const { return items_; }

    void Add(std::string item);
    void Insert(int index, std::string item);
    void Delete(int index);
    void Clear();
    // Takes the other list's items (its OnChange is not copied).
    void Assign(const TStringList& other);
    void Assign(const std::vector<std::string>& items);
    // Position of the first item equal to `item` without regard to case, -1 when none.
    int IndexOf(const std::string& item) const;

    void BeginUpdate() { ++updateCount_; }
    void EndUpdate();

    std::function<void(TStringList&)> OnChange;

private:
    void Changed();

    std::vector<std::string> items_;
    int updateCount_ = 0;
    bool pending_ = false;
};
