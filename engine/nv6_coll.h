// TnvCollection: a list that owns its items unless a descendant says otherwise.
// `FreeItem` decides what freeing an item means (default: delete it); a collection that only
// refers to objects owned elsewhere overrides it to do nothing. Not copyable.
#pragma once

#include <algorithm>
#include <cstddef>
#include <vector>

template <class T>
class TnvCollection {
public:
    TnvCollection() = default;
    TnvCollection(const TnvCollection&) = delete;
    TnvCollection& operator=(const TnvCollection&) = delete;
    // Frees every item through FreeItem. A descendant whose FreeItem differs must call
    // FreeAll in its own destructor, since the override is gone by the time this one runs.
    virtual ~TnvCollection() {
        for (T* item : items_) TnvCollection::FreeItem(item);
    }

    int Count() const { return static_cast<int>(items_.size()); }
    T* Items(int index) const { return items_.at(static_cast<std::size_t>(index)); }
    int IndexOf(const T* item) const {
        auto it = std::find(items_.begin(), items_.end(), item);
        return it == items_.end() ? -1 : static_cast<int>(it - items_.begin());
    }
    void Add(T* item) { items_.push_back(item); }
    // Makes room for `count` items, so that adding up to that many allocates nothing.
    void Reserve(int count) { items_.reserve(static_cast<std::size_t>(std::max(count, 0))); }
    // Puts the item at `index` (0..Count()), moving the later ones up.
    void Insert(int index, T* item) { items_.insert(items_.begin() + index, item); }
    // Takes the item out of the list (without freeing it); false when it was not there.
    bool Extract(T* item) {
        auto it = std::find(items_.begin(), items_.end(), item);
        if (it == items_.end()) return false;
        items_.erase(it);
        return true;
    }
    // Takes the item at `index` out of the list (without freeing it) and returns it.
    T* ExtractAt(int index) {
        T* item = Items(index);
        items_.erase(items_.begin() + index);
        return item;
    }
    // Takes the item out of the list and frees it through FreeItem.
    void Remove(T* item) {
        if (Extract(item)) FreeItem(item);
    }
    // Exchanges the items of two collections (ownership goes with them).
    void SwapItems(TnvCollection& other) { items_.swap(other.items_); }
    void FreeAll() {
        std::vector<T*> items;
        items.swap(items_);
        for (T* item : items) FreeItem(item);
    }

protected:
    virtual void FreeItem(T* item) { delete item; }

private:
    std::vector<T*> items_;
};
