#include "nv6_indx.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "nv6_cnst.h"
#include "nv6_encrxm.h"
#include "nv6_glbl.h"
#include "nv6_os.h"

namespace {

// Every level of a chain keeps its own current index; these keep it inside the page.
int ClampIndex(int index, int count) {
    if (index >= count) index = count - 1;
    return index < 0 ? 0 : index;
}

// Freed entries wait here for the next page decode. Under the sanitizers every entry goes
// to the heap, so that a use after free is still caught.
#if defined(__SANITIZE_ADDRESS__)
#define NV_ENTRIES_UNPOOLED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define NV_ENTRIES_UNPOOLED 1
#endif
#endif
#if defined(NV_ENTRIES_UNPOOLED)
constexpr std::size_t kPooledEntries = 0;
#else
constexpr std::size_t kPooledEntries = 32768;
#endif
// Freed blocks of one size, reused before the heap is asked, up to `limit` of them.
struct FreeList {
    struct Block {
        Block* next;
    };
    Block* head = nullptr;
    std::size_t count = 0;

    void* Take(std::size_t size, std::size_t pooled) {
        if (size != pooled || !head) return ::operator new(size);
        Block* block = head;
        head = block->next;
        --count;
        return block;
    }
    void Give(void* block, std::size_t size, std::size_t pooled, std::size_t limit) noexcept {
        if (!block) return;
        if (size != pooled || count >= limit) {
            ::operator delete(block);
            return;
        }
        head = new (block) Block{head};
        ++count;
    }
};
thread_local FreeList g_freeEntries;

// Page objects likewise: a chain is a few levels deep, the kept pages are owned apart.
#if defined(NV_ENTRIES_UNPOOLED)
constexpr std::size_t kPooledPages = 0;
#else
constexpr std::size_t kPooledPages = 64;
#endif
thread_local FreeList g_freePages;

}  // namespace

void* NVobjIndexKeyData::operator new(std::size_t size) { return g_freeEntries.Take(size, sizeof(NVobjIndexKeyData)); }

void NVobjIndexKeyData::operator delete(void* block, std::size_t size) noexcept {
    g_freeEntries.Give(block, size, sizeof(NVobjIndexKeyData), kPooledEntries);
}

// ---- NVobjIndexKey -------------------------------------------------------------------

void* NVobjIndexKey::operator new(std::size_t size) { return g_freePages.Take(size, sizeof(NVobjIndexKey)); }

void NVobjIndexKey::operator delete(void* block, std::size_t size) noexcept {
    g_freePages.Give(block, size, sizeof(NVobjIndexKey), kPooledPages);
}

NVobjIndexKey::NVobjIndexKey(NVobjIndexTag* tag, NVobjIndexKey* parent)
    : tag_(tag), parent_(parent), depth_(parent ? parent->depth_ + 1 : 0) {}

void NVobjIndexKey::Load(int32_t pageAddress) {
    FreeAll();
    address = pageAddress;
    current = -1;
    readAt = tag_->File()->PagesEpoch();
    readWrites = tag_->File()->Writes();
    storedSinceRead = false;
    if (tag_->ReusePage(pageAddress, *this)) {
        dirty = false;
        asStored = true;
        return;
    }
    ReadPage(pageAddress);
}

void NVobjIndexKey::ReadPage(int32_t pageAddress) {
    fitsSerial_ = 0;
    if (tag_->PageLoad(pageAddress, *this) != 0) tag_->RaiseCorrupt();
    serial_ = ++tag_->pageSerial_;
    // A page claiming more entries than it can hold would make every later split and
    // write go wrong; a kind outside the model cannot be walked. An interior page may carry
    // one pointer beyond its keys.
    // Compressed leaves (CDX) hold as many keys as their bytes allow; the format checks them.
    if (tag_->maxEntries > 0 && (kind < kLeaf || tag_->countLimitedLeaves) &&
        Count() > tag_->maxEntries + (kind < kLeaf ? 1 : 0))
        tag_->RaiseCorrupt();
    if (kind != kLeaf && kind != kInterior && kind != kNewRoot) tag_->RaiseCorrupt();
    dirty = false;
    asStored = true;
}

void NVobjIndexKey::Store() {
    if (address <= 0) address = tag_->File()->NewPage();
    if (address <= 0) tag_->RaiseCorrupt();
    tag_->PageStore(*this);
    dirty = false;
    serial_ = ++tag_->pageSerial_;
    // Written whole and not split, a leaf of stored entries reads back as it stands: it counts
    // as read just after its own write, so that the next descent to it need not decode it.
    if (asStored && !stale && !IsInterior() && Count() > 0) {
        readAt = tag_->File()->PagesEpoch();
        readWrites = tag_->File()->Writes();
    } else {
        storedSinceRead = true;
    }
}

void NVobjIndexKey::Flush() {
    if (child_) child_->Flush();
    if (dirty) Store();
}

void NVobjIndexKey::InsertAt(int index, std::unique_ptr<NVobjIndexKeyData> entry) {
    Insert(std::clamp(index, 0, Count()), entry.get());
    entry.release();
}

std::unique_ptr<NVobjIndexKeyData> NVobjIndexKey::ExtractAt(int index) {
    Expand();
    return std::unique_ptr<NVobjIndexKeyData>(TnvCollection::ExtractAt(index));
}

void NVobjIndexKey::ExpandStored() const {
    std::unique_ptr<NVobjStoredPage> stored = std::move(stored_);
    // The page object is never itself const; only the view of its entries was.
    stored->DecodeAll(const_cast<NVobjIndexKey&>(*this));
}

const NVobjIndexKeyData& NVobjIndexKey::Peek(int index) const {
    if (stored_) {
        if (index < 0 || index >= stored_->Count()) tag_->RaiseCorrupt();
        if (const NVobjIndexKeyData* entry = stored_->Entry(index)) return *entry;
    }
    return *Items(index);
}

void NVobjIndexKey::SetStored(std::unique_ptr<NVobjStoredPage> stored) {
    if (TnvCollection::Count() != 0) tag_->RaiseCorrupt();
    stored_ = std::move(stored);
}

int NVobjIndexKey::FindChildEntry(int32_t childAddress) const {
    for (int i = 0; i < Count(); ++i)
        if (Items(i)->reference == childAddress) return i;
    return -1;
}

NVobjIndexKey* NVobjIndexKey::Leaf() {
    NVobjIndexKey* page = this;
    while (page->IsInterior() && page->child_) page = page->child_.get();
    return page;
}

NVobjIndexKey* NVobjIndexKey::OpenChild(bool& fresh) {
    fresh = false;
    if (!IsInterior() || current < 0 || current >= Count()) return nullptr;
    int32_t ref = Items(current)->reference;
    if (child_ && child_->address == ref && !child_->stale) return child_.get();
    // A child pointer that is not a page, points back up the chain or leads deeper than any
    // tree the file could hold would loop or run off; such a file is corrupted.
    if (ref <= 0 || depth_ + 1 > NVobjIndexTag::kMaxDepth) tag_->RaiseCorrupt();
    for (NVobjIndexKey* up = this; up; up = up->parent_)
        if (up->address == ref) tag_->RaiseCorrupt();
    if (child_) {
        // The old child may split while it is written, which inserts into this page before
        // its own entry; keep current on the same entry.
        int32_t wanted = ref;
        child_->Flush();
        tag_->KeepPages(std::move(child_));
        if (current >= Count() || Items(current)->reference != wanted) current = FindChildEntry(wanted);
        if (current < 0) tag_->RaiseCorrupt();
    }
    // Asking for a kept page may forget the file's pages: a page read instead counts as read
    // before that, as Load counts it.
    const uint64_t epoch = tag_->File()->PagesEpoch();
    const uint64_t writes = tag_->File()->Writes();
    std::unique_ptr<NVobjIndexKey> page = tag_->ReuseChild(ref, this);
    if (!page) {
        page = std::make_unique<NVobjIndexKey>(tag_, this);
        page->address = ref;
        page->readAt = epoch;
        page->readWrites = writes;
        page->ReadPage(ref);
    }
    child_ = std::move(page);
    fresh = true;
    return child_.get();
}

bool NVobjIndexKey::First() {
    if (Count() == 0) return false;
    if (!IsInterior()) {
        current = 0;
        return true;
    }
    for (current = 0; current < Count(); ++current) {
        bool fresh;
        if (OpenChild(fresh)->First()) return true;
    }
    current = Count() - 1;
    return false;
}

bool NVobjIndexKey::Last() {
    if (Count() == 0) return false;
    if (!IsInterior()) {
        current = Count() - 1;
        return true;
    }
    for (current = Count() - 1; current >= 0; --current) {
        bool fresh;
        if (OpenChild(fresh)->Last()) return true;
    }
    current = 0;
    return false;
}

bool NVobjIndexKey::Next() {
    if (!IsInterior()) {
        if (current < Count()) ++current;
        if (current >= Count()) {
            current = Count();
            return false;
        }
        return true;
    }
    if (current < 0) current = 0;
    while (current < Count()) {
        bool fresh;
        NVobjIndexKey* child = OpenChild(fresh);
        if (fresh && child->IsInterior()) child->current = 0;
        if (child->Next()) return true;
        ++current;
    }
    current = Count() - 1;
    return false;
}

bool NVobjIndexKey::Prior() {
    if (!IsInterior()) {
        if (current >= 0) --current;
        if (current > Count() - 1) current = Count() - 1;
        if (current < 0) {
            current = -1;
            return false;
        }
        return true;
    }
    if (current >= Count()) current = Count() - 1;
    while (current >= 0) {
        bool fresh;
        NVobjIndexKey* child = OpenChild(fresh);
        if (fresh) child->current = child->IsInterior() ? child->Count() - 1 : child->Count();
        if (child->Prior()) return true;
        --current;
    }
    current = 0;
    return false;
}

bool NVobjIndexKey::Current() {
    if (current < 0 || current >= Count()) return false;
    if (!IsInterior()) return true;
    bool fresh;
    NVobjIndexKey* child = OpenChild(fresh);
    return child->Current();
}

int NVobjIndexKey::ReadCurrent(NVobjIndexKeyData& key) {
    bool first = true;
    bool last = true;
    NVobjIndexKey* page = this;
    for (;;) {
        if (page->current != 0) first = false;
        if (page->current != page->Count() - 1) last = false;
        if (!page->IsInterior() || !page->child_) break;
        page = page->child_.get();
    }
    if (page->IsInterior() || page->current < 0 || page->current >= page->Count()) {
        key.Clear();
        key.reference = 0;
        key.recNo = 0;
    } else {
        key.CopyFrom(page->Peek(page->current));
    }
    atFirst = first;
    atLast = last;
    return (first ? 1 : 0) | (last ? 2 : 0);
}

int NVobjIndexKey::Seek(const NVobjIndexKeyData& key, int32_t record, int prefixResult) {
    current = 0;
    if (Count() == 0) return 1;
    const bool ordered = tag_->File()->recordOrderedKeys;
    // How the search stands to an entry: positive while the entry lies before it.
    auto compare = [&](const NVobjIndexKeyData& entry) {
        int r = tag_->CompareKeys(key, entry, prefixResult);
        // A search for one record's entry only matches keys that are equal, not longer keys
        // it is a prefix of: with record-ordered keys the record numbers of different keys
        // say nothing about their order, and a high key such as "ANBO" of record 3 would send
        // the search for ("AN", 542) past the page that holds it.
        if (r == 0 && ordered && record != -1 && record != NVobjIndexTag::kAfterEqual && prefixResult != -1)
            r = tag_->CompareKeys(key, entry, -1);
        if (r == 0 && record == NVobjIndexTag::kAfterEqual) r = 1;
        if (r == 0 && record != -1 && ordered) r = entry.recNo < record ? 1 : (entry.recNo > record ? -1 : 0);
        return r;
    };
    if (Count() > 2) {
        // Entries rise through a page, so the first one not below the key is found by
        // halving. The last entry is never asked: the walk below takes it when nothing
        // before it is, as it would (and it may be a bare pointer without a key).
        int low = 0, high = Count() - 1;
        while (low < high) {
            const int middle = low + (high - low) / 2;
            if (compare(Peek(middle)) > 0)
                low = middle + 1;
            else
                high = middle;
        }
        current = low;
    }
    for (;;) {
        const NVobjIndexKeyData& entry = Peek(current);
        int r = compare(entry);
        if (r <= 0 || current == Count() - 1) {
            if (IsInterior()) {
                bool fresh;
                r = OpenChild(fresh)->Seek(key, record, prefixResult);
            } else if (r == 0 && record != -1) {
                // Leaves of the formats without record-ordered keys keep the record in the
                // reference; their record-number field is 0.
                if (ordered)
                    r = entry.recNo < record ? 1 : (entry.recNo > record ? -1 : 0);
                else if (entry.reference != record)
                    r = 1;
            }
        }
        if (r > 0 && current < Count() - 1) {
            ++current;
            continue;
        }
        if (r > 0 && !IsInterior()) current = Count();
        return r;
    }
}

void NVobjIndexKey::InsertEntry(const NVobjIndexKeyData& key, bool after) {
    NVobjIndexKey* leaf = Leaf();
    if (leaf->IsInterior()) tag_->RaiseCorrupt();
    int index = std::clamp(after ? leaf->current + 1 : leaf->current, 0, leaf->Count());
    if (leaf->parent_ && index >= leaf->Count()) {
        NVobjIndexKeyData high(key);
        high.reference = leaf->address;
        leaf->ReplaceInParent(high);
    }
    if (!leaf->stored_ || !leaf->stored_->InsertAt(index, key)) leaf->InsertAt(index, key.Duplicate());
    leaf->current = index;
    leaf->dirty = true;
    leaf->asStored = leaf->asStored && tag_->EntryAsStored(key);
}

void NVobjIndexKey::DeleteCurrent() {
    NVobjIndexKey* leaf = Leaf();
    if (leaf->IsInterior()) tag_->RaiseCorrupt();
    leaf->RemoveHere();
    NVobjIndexKey* root = this;
    while (root->parent_) root = root->parent_;
    root->Rebalance();
}

void NVobjIndexKey::RemoveHere() {
    if (current < 0 || current >= Count()) return;
    const bool wasLast = current == Count() - 1;
    if (!stored_ || !stored_->RemoveAt(current)) Remove(Items(current));
    dirty = true;
    if (parent_ && wasLast && Count() > 0) {
        NVobjIndexKeyData high(Peek(Count() - 1));
        high.reference = address;
        ReplaceInParent(high);
    }
    current = ClampIndex(current, Count());
}

void NVobjIndexKey::RemoveFromParent() {
    if (!parent_) return;
    int index = parent_->FindChildEntry(address);
    if (index < 0) return;
    int saved = parent_->current;
    parent_->current = index;
    parent_->RemoveHere();
    if (saved > index) --saved;
    parent_->current = ClampIndex(saved, parent_->Count());
}

void NVobjIndexKey::Rebalance() {
    for (int pass = 0; pass < NVobjIndexTag::kMaxDepth; ++pass) {
        std::vector<NVobjIndexKey*>& chain = tag_->rebalanceChain_;
        chain.clear();
        for (NVobjIndexKey* page = this; page; page = page->IsInterior() ? page->child_.get() : nullptr)
            chain.push_back(page);
        // A merge replaces the page below the parent it works in; the parent, one entry
        // shorter, is looked at next. A page that is its parent's only child waits until the
        // parent (short itself) has joined a neighbour and given it neighbours of its own.
        bool merged = false;
        bool waiting = false;
        for (std::size_t k = chain.size() - 1; k >= 1; --k) {
            if (!tag_->PageUnderfull(*chain[k])) continue;
            if (chain[k - 1]->MergeChild())
                merged = true;
            else
                waiting = true;
        }
        if (!parent_) {
            while (IsInterior() && Count() <= 1) {
                if (Count() == 0) {
                    // A root whose every child went away is an empty leaf again, at the same address.
                    kind = kLeaf;
                    child_.reset();
                    current = 0;
                    dirty = true;
                    asStored = false;
                    break;
                }
                CollapseRoot();
            }
        }
        if (!waiting || !merged) break;
    }
}

std::unique_ptr<NVobjIndexKey> NVobjIndexKey::LoadChild(int index) {
    const int32_t ref = Items(index)->reference;
    if (ref <= 0 || depth_ + 1 > NVobjIndexTag::kMaxDepth) tag_->RaiseCorrupt();
    for (NVobjIndexKey* up = this; up; up = up->parent_)
        if (up->address == ref) tag_->RaiseCorrupt();
    // Formats read what they need of the parent's entry through its current index.
    const int saved = current;
    current = index;
    auto page = std::make_unique<NVobjIndexKey>(tag_, this);
    try {
        page->Load(ref);
    } catch (...) {
        current = saved;
        throw;
    }
    current = saved;
    return page;
}

void NVobjIndexKey::Adopt(std::unique_ptr<NVobjIndexKey> child) {
    child_ = std::move(child);
    for (NVobjIndexKey* page = child_.get(); page; page = page->child_.get()) {
        if (page == child_.get()) page->parent_ = this;
        page->depth_ = page->parent_->depth_ + 1;
    }
}

bool NVobjIndexKey::MergeChild() {
    NVobjIndexKey* gone = child_.get();
    if (!gone) return false;
    const int index = FindChildEntry(gone->address);
    if (index < 0) tag_->RaiseCorrupt();
    // An only child has nobody to join; its parent is then short itself and merges next.
    if (Count() < 2) return false;
    const bool intoLeft = index > 0;
    std::unique_ptr<NVobjIndexKey> survivor = LoadChild(intoLeft ? index - 1 : index + 1);
    if (survivor->IsInterior() != gone->IsInterior()) tag_->RaiseCorrupt();
    NVobjIndexKey& earlier = intoLeft ? *survivor : *gone;
    const NVobjIndexKeyData& earlierHigh = *Items(intoLeft ? index - 1 : index);
    // The earlier page's last entry comes to lie inside the merged page: it must carry the
    // key its parent gave the page, which formats that keep no key there cannot know.
    if (earlier.IsInterior() && earlier.Count() > 0) {
        NVobjIndexKeyData* last = earlier.Items(earlier.Count() - 1);
        static_cast<TnvVariant&>(*last) = static_cast<const TnvVariant&>(earlierHigh);
        last->recNo = earlierHigh.recNo;
    }
    // Without entries of its own the later page leaves the earlier one's key as the high key.
    std::unique_ptr<NVobjIndexKeyData> newHigh;
    if (intoLeft && gone->Count() == 0) newHigh = earlierHigh.Duplicate();
    if (intoLeft) {
        const int before = survivor->Count();
        while (gone->Count() > 0) survivor->Add(gone->ExtractAt(0).release());
        survivor->current = before + std::max(gone->current, 0);
        // The entry that named the gone page now names the survivor, whose own entry goes.
        Items(index)->reference = survivor->address;
        Remove(Items(index - 1));
        current = index - 1;
    } else {
        for (int i = gone->Count() - 1; i >= 0; --i) survivor->InsertAt(0, gone->ExtractAt(i));
        survivor->current = std::max(gone->current, 0);
        Remove(Items(index));
        current = index;
    }
    survivor->current = ClampIndex(survivor->current, survivor->Count());
    survivor->asStored = false;
    tag_->PageMerged(*gone, *survivor);
    std::unique_ptr<NVobjIndexKey> below = std::move(gone->child_);
    survivor->dirty = true;
    dirty = true;
    Adopt(std::move(survivor));
    if (below) child_->Adopt(std::move(below));
    if (newHigh) {
        newHigh->reference = child_->address;
        child_->ReplaceInParent(*newHigh);
    }
    return true;
}

void NVobjIndexKey::CollapseRoot() {
    current = 0;
    bool fresh;
    NVobjIndexKey* only = OpenChild(fresh);
    if (!only) tag_->RaiseCorrupt();
    FreeAll();
    while (only->Count() > 0) Add(only->ExtractAt(0).release());
    kind = only->IsInterior() ? uint8_t{kInterior} : uint8_t{kLeaf};
    current = ClampIndex(only->current, Count());
    std::unique_ptr<NVobjIndexKey> below = std::move(only->child_);
    child_.reset();
    if (below) Adopt(std::move(below));
    dirty = true;
    asStored = false;
}

void NVobjIndexKey::ReplaceInParent(const NVobjIndexKeyData& key) {
    if (!parent_) return;
    NVobjIndexKey* up = parent_;
    int index = up->FindChildEntry(address);
    if (index < 0) {
        int saved = up->current;
        up->current = up->Count() - 1;
        NVobjIndexKeyData entry(key);
        entry.reference = address;
        // Appending makes it the parent's high key, which goes up the same way.
        if (up->parent_) {
            NVobjIndexKeyData high(key);
            high.reference = up->address;
            up->ReplaceInParent(high);
        }
        up->InsertAt(up->Count(), entry.Duplicate());
        up->current = saved;
        up->dirty = true;
        return;
    }
    if (index == up->Count() - 1 && up->parent_) {
        NVobjIndexKeyData high(key);
        high.reference = up->address;
        up->ReplaceInParent(high);
    }
    NVobjIndexKeyData* entry = up->Items(index);
    static_cast<TnvVariant&>(*entry) = static_cast<const TnvVariant&>(key);
    entry->recNo = key.recNo;
    entry->reference = address;
    up->dirty = true;
}

void NVobjIndexKey::InsertInParent(const NVobjIndexKeyData& key) {
    if (!parent_) {
        // Root growth: the new root takes this page's address so the header's root stays
        // valid; this page's entries move to a new page below it.
        NVobjIndexTag* tag = tag_;
        auto root = std::make_unique<NVobjIndexKey>(tag, nullptr);
        root->address = address;
        root->kind = kNewRoot;
        if (kind == kNewRoot) kind = kInterior;
        address = tag->File()->NewPage();
        if (address <= 0) tag->RaiseCorrupt();
        auto high = std::make_unique<NVobjIndexKeyData>();
        if (Count() > 0) high->CopyFrom(*Items(Count() - 1));
        high->reference = address;
        root->Add(high.release());
        root->current = 0;
        root->dirty = true;
        root->child_ = std::move(tag->rootPage_);
        parent_ = root.get();
        for (NVobjIndexKey* page = this; page; page = page->child_.get())
            page->depth_ = page->parent_->depth_ + 1;
        tag->rootPage_ = std::move(root);
        tag->dirty = true;
    }
    int index = parent_->FindChildEntry(address);
    if (index < 0) tag_->RaiseCorrupt();
    NVobjIndexKeyData entry(key);
    parent_->InsertAt(index, entry.Duplicate());
    if (parent_->current >= index) ++parent_->current;
    parent_->dirty = true;
}

// ---- NVobjIndexTag -------------------------------------------------------------------

NVobjIndexTag::NVobjIndexTag(NVobjIndexFile* file, int32_t header) : headerAddress(header), file_(file) {}

NVobjIndexTag::~NVobjIndexTag() {
    try {
        PageRelease();
    } catch (...) {
        // A destructor cannot report; the cursor releases tags explicitly before closing.
    }
    DropKeptPages();
}

void NVobjIndexTag::KeyFormat(TnvVariant&, bool) {}

bool NVobjIndexTag::TagCreate(std::string_view, std::string_view keyExpr, bool isUnique, bool isAscending,
                              std::string_view forExpr) {
    keyExpression = std::string(keyExpr);
    forExpression = std::string(forExpr);
    ascending = isAscending;
    unique = isUnique;
    hasFor = !forExpression.empty();
    CompileKey();
    CompileFor();
    return false;
}

int32_t NVobjIndexTag::RootPage() { return root; }

int NVobjIndexTag::PageLoad(int32_t, NVobjIndexKey&) { return 0; }

int NVobjIndexTag::PageStore(NVobjIndexKey&) { return 0; }

bool NVobjIndexTag::TagLoad() {
    dirty = false;
    return true;
}

void NVobjIndexTag::TagStore() { dirty = false; }

void NVobjIndexTag::CompileKey() {
    keyHandler.reset();
    if (file_->table && !keyExpression.empty())
        keyHandler = file_->table->CompileExpression(keyExpression, expressionOptions);
}

void NVobjIndexTag::CompileFor() {
    forHandler.reset();
    if (file_->table && !forExpression.empty())
        forHandler = file_->table->CompileExpression(forExpression, expressionOptions);
}

bool NVobjIndexTag::KeyEvaluate(TnvVariant& result, bool& ok) {
    ok = true;
    if (!keyHandler) return false;
    keyHandler->Evaluate(result);
    return true;
}

bool NVobjIndexTag::PageUnderfull(const NVobjIndexKey& page) const {
    return page.Count() < (page.IsInterior() ? 2 : 1);
}

void NVobjIndexTag::PageMerged(NVobjIndexKey&, NVobjIndexKey&) {}

int NVobjIndexTag::StoredKeys(const NVobjIndexKey& page) const { return page.Count(); }

int NVobjIndexTag::CheckTree(const std::function<void(const std::string&)>& problem) {
    PageRelease();
    int problems = 0;
    int depthProblems = 0;
    int leafDepth = -1;
    std::set<int32_t> seen;
    auto report = [&](const std::string& text) {
        ++problems;
        problem(text);
    };
    auto name = [](int32_t address) { return "page " + std::to_string(address); };
    std::function<void(NVobjIndexKey&)> walk = [&](NVobjIndexKey& page) {
        if (!page.IsInterior()) {
            if (page.Parent() && StoredKeys(page) == 0) report(name(page.address) + " is an empty leaf");
            if (leafDepth < 0) {
                leafDepth = page.Depth();
            } else if (page.Depth() != leafDepth && depthProblems++ < 3) {
                report("leaf " + name(page.address) + " is at depth " + std::to_string(page.Depth()) +
                       ", other leaves at " + std::to_string(leafDepth));
            }
            return;
        }
        if (StoredKeys(page) <= 0) report(name(page.address) + " is an interior page without a key");
        for (int i = 0; i < page.Count(); ++i) {
            const int32_t child = page.Items(i)->reference;
            if (!seen.insert(child).second) {
                report(name(child) + " is reached twice");
                continue;
            }
            std::unique_ptr<NVobjIndexKey> below;
            try {
                below = page.LoadChild(i);
            } catch (const std::exception& e) {
                report(name(child) + " cannot be read: " + e.what());
                continue;
            }
            walk(*below);
        }
    };
    const int32_t address = RootPage();
    if (address <= 0) return 0;
    seen.insert(address);
    NVobjIndexKey root(this, nullptr);
    try {
        root.Load(address);
    } catch (const std::exception& e) {
        report("the root " + name(address) + " cannot be read: " + e.what());
        return problems;
    }
    walk(root);
    return problems;
}

bool NVobjIndexTag::ForEvaluate() {
    if (!forHandler) return false;
    TnvVariant result;
    forHandler->Evaluate(result);
    return result.Kind() == TnvVariant::kLogical && result.AsLogical();
}

int32_t NVobjIndexTag::CharacterKeyLength(const TnvVariant& trial) const {
    const int32_t length = keyHandler ? keyHandler->ResultLength() : 0;
    if (length > 0) return length;
    if (trial.Kind() == TnvVariant::kLogical) return 1;
    return trial.Kind() == TnvVariant::kCharacter ? trial.Length() : static_cast<int32_t>(trial.AsString().size());
}

void NVobjIndexTag::RaiseCorrupt() const { NvRaise(TnvMsg::IndexCorrupted, {file_->MessageName()}); }

int NVobjIndexTag::CompareKeys(const TnvVariant& a, const TnvVariant& b, int prefixResult) const {
    int r;
    const uint8_t kind = a.Kind();
    if (kind == b.Kind() && (kind == TnvVariant::kCharacter || kind == TnvVariant::kBinary) && !a.IsEmpty() &&
        !b.IsEmpty() && !Collation()) {
        // Searches compare keys of one kind by the hundred: their bytes directly, as the
        // general comparison does (a shorter text equal as far as it goes takes the prefix
        // result; a shorter binary image is lower).
        const int32_t la = a.Length(), lb = b.Length();
        r = std::memcmp(a.Data(), b.Data(), static_cast<std::size_t>(std::min(la, lb)));
        if (r != 0)
            r = r < 0 ? -1 : 1;
        else if (la < lb)
            r = kind == TnvVariant::kCharacter ? prefixResult : -1;
        else
            r = la > lb ? 1 : 0;
    } else {
        int32_t position = 0;
        r = a.Compare(&b, position, Collation(), prefixResult);
    }
    return descendingCompare ? -r : r;
}

void NVobjIndexTag::PageRelease() {
    if (rootPage_) {
        try {
            // Writing a page can grow a new root above it, which then needs writing too.
            for (;;) {
                NVobjIndexKey* top = rootPage_.get();
                top->Flush();
                if (rootPage_.get() == top) break;
            }
        } catch (...) {
            rootPage_.reset();
            currentKey.reference = 0;
            throw;
        }
        KeepPages(std::move(rootPage_));
    }
    gap_ = 0;
    if (dirty) TagStore();
    currentKey.reference = 0;
}

bool NVobjIndexTag::FlushChain() {
    NVobjIndexKey* top = rootPage_.get();
    if (!top) {
        PageRelease();
        return false;
    }
    const int32_t next = file_->nextPage;
    try {
        top->Flush();
    } catch (...) {
        rootPage_.reset();
        currentKey.reference = 0;
        throw;
    }
    // A page written in two parts, or a new root above it, changed the chain's shape under
    // its position.
    bool intact = rootPage_.get() == top && file_->nextPage == next;
    for (const NVobjIndexKey* page = top; intact && page; page = page->child_.get()) intact = !page->stale;
    if (!intact) {
        PageRelease();
        return false;
    }
    if (dirty) TagStore();
    return true;
}

bool NVobjIndexTag::ChainUpToDate() const {
    if (dirty) return false;
    const uint64_t epoch = file_->PagesEpoch();
    for (const NVobjIndexKey* page = rootPage_.get(); page; page = page->child_.get())
        if (page->dirty || page->stale || page->storedSinceRead || page->readAt != epoch) return false;
    return true;
}

bool NVobjIndexTag::StandsOn(const NVobjIndexKeyData& key) {
    // Only where (key, record) names one entry can standing on an equal entry be the hit a
    // search would make.
    if (!file_->recordOrderedKeys || !rootPage_ || gap_ != 0 || key.reference <= 0 ||
        currentKey.reference != key.reference || !ChainUpToDate())
        return false;
    const NVobjIndexKey* page = rootPage_.get();
    while (page->IsInterior()) {
        const NVobjIndexKey* child = page->child_.get();
        if (!child || page->current < 0 || page->current >= page->Count() ||
            page->Peek(page->current).reference != child->address)
            return false;
        page = child;
    }
    if (page->current < 0 || page->current >= page->Count()) return false;
    const NVobjIndexKeyData& entry = page->Peek(page->current);
    if (entry.recNo != key.reference) return false;
    NVobjIndexKeyData search(key);
    KeyFormat(search, true);
    if (CompareKeys(search, entry, -1) != 0) return false;
    if (file_->table) file_->exactCompare = file_->table->ExactMatch();
    atBOF = atEOF = false;
    TakeLeaf();
    return true;
}

void NVobjIndexTag::DropKeptPages() {
    for (NVobjIndexKey* page = keptNewest_; page;) {
        NVobjIndexKey* older = page->keptOlder_;
        delete page;
        page = older;
    }
    keptNewest_ = keptOldest_ = nullptr;
    keptAt_.Clear();
    keptEntries_ = 0;
}

std::unique_ptr<NVobjIndexKey> NVobjIndexTag::Unkeep(NVobjIndexKey* page) {
    (page->keptNewer_ ? page->keptNewer_->keptOlder_ : keptNewest_) = page->keptOlder_;
    (page->keptOlder_ ? page->keptOlder_->keptNewer_ : keptOldest_) = page->keptNewer_;
    page->keptNewer_ = page->keptOlder_ = nullptr;
    keptAt_.Erase(page->address);
    keptEntries_ -= page->Count();
    return std::unique_ptr<NVobjIndexKey>(page);
}

void NVobjIndexTag::CatchUpKeptPages() {
    const uint64_t epoch = file_->PagesEpoch();
    const uint64_t writes = file_->Writes();
    // Most calls come between two writes: nothing to catch up on.
    if (keptEpoch_ == epoch && keptWrites_ == writes) return;
    if (keptEpoch_ != epoch || writes - keptWrites_ > NVobjIndexFile::kWriteLog) {
        DropKeptPages();
    } else if (keptNewest_) {
        const int64_t span = ReusablePageBytes();
        for (uint64_t n = keptWrites_ + 1; n <= writes && keptNewest_; ++n) {
            int64_t address, length;
            file_->WrittenRange(n, address, length);
            if (length <= 0) continue;
            // Kept pages lie at multiples of kAlign: look up the few that can share a byte
            // with a short write, walk them all for a long one.
            const int64_t align = TnvPageCache::kAlign;
            int64_t from = address - span + 1;
            from = from < 0 ? 0 : (from + align - 1) / align * align;
            if ((address + length - from) / align <= static_cast<int64_t>(keptAt_.Size())) {
                for (int64_t at = from; at < address + length; at += align)
                    if (at <= INT32_MAX)
                        if (NVobjIndexKey** found = keptAt_.Find(static_cast<int32_t>(at))) Unkeep(*found);
            } else {
                for (NVobjIndexKey* page = keptNewest_; page;) {
                    NVobjIndexKey* older = page->keptOlder_;
                    if (page->address + span > address && page->address < address + length) Unkeep(page);
                    page = older;
                }
            }
        }
    }
    keptEpoch_ = epoch;
    keptWrites_ = writes;
}

void NVobjIndexTag::KeepPages(std::unique_ptr<NVobjIndexKey> chain) {
    const int32_t span = ReusablePageBytes();
    if (span <= 0) return;
    CatchUpKeptPages();
    const uint64_t epoch = keptEpoch_;
    while (chain) {
        std::unique_ptr<NVobjIndexKey> below = std::move(chain->child_);
        // A page written since it was read is read again when next needed, unless it was
        // its own store of entries as the file holds them (see Store).
        const bool keep = chain->readAt == epoch && !chain->dirty && !chain->stale &&
                          chain->address % TnvPageCache::kAlign == 0 && chain->Count() <= kKeptEntries &&
                          !file_->WrittenSince(chain->readWrites, chain->address, span);
        if (keep) {
            if (NVobjIndexKey** old = keptAt_.Find(chain->address)) Unkeep(*old);
            // Leaves are read once per walk or seek and would push interior pages out: the
            // oldest of the few kept gives way.
            if (!chain->IsInterior() && chain->depth_ > 0) {
                int32_t& slot = keptLeaves_[static_cast<std::size_t>(keptLeafNext_)];
                if (NVobjIndexKey** oldest = slot != 0 ? keptAt_.Find(slot) : nullptr;
                    oldest && !(*oldest)->IsInterior() && (*oldest)->depth_ > 0)
                    Unkeep(*oldest);
                slot = chain->address;
                keptLeafNext_ = (keptLeafNext_ + 1) % kKeptLeaves;
            }
            keptEntries_ += chain->Count();
            chain->parent_ = nullptr;
            NVobjIndexKey* page = chain.release();
            page->keptOlder_ = keptNewest_;
            (keptNewest_ ? keptNewest_->keptNewer_ : keptOldest_) = page;
            keptNewest_ = page;
            keptAt_.Set(page->address, page);
            while (keptEntries_ > kKeptEntries) Unkeep(keptOldest_);
        }
        chain = std::move(below);
    }
}

std::unique_ptr<NVobjIndexKey> NVobjIndexTag::TakeKept(int32_t address) {
    if (!keptNewest_) return nullptr;
    if (!file_->PagesTrusted()) {
        DropKeptPages();
        return nullptr;
    }
    CatchUpKeptPages();
    NVobjIndexKey** found = keptAt_.Find(address);
    return found ? Unkeep(*found) : nullptr;
}

bool NVobjIndexTag::ReusePage(int32_t address, NVobjIndexKey& page) {
    std::unique_ptr<NVobjIndexKey> kept = TakeKept(address);
    if (!kept) return false;
    // A leaf kept in stored form goes on in it: swapping entries would decode it.
    if (kept->stored_) {
        page.FreeAll();
        page.stored_ = std::move(kept->stored_);
    } else {
        page.SwapItems(*kept);
    }
    page.leftSibling = kept->leftSibling;
    page.rightSibling = kept->rightSibling;
    page.kind = kept->kind;
    page.freeSpace = kept->freeSpace;
    std::memcpy(page.scratch, kept->scratch, sizeof page.scratch);
    if (!KeptPageFits(page, *kept)) RaiseCorrupt();
    return true;
}

std::unique_ptr<NVobjIndexKey> NVobjIndexTag::ReuseChild(int32_t address, NVobjIndexKey* parent) {
    std::unique_ptr<NVobjIndexKey> page = TakeKept(address);
    if (!page) return nullptr;
    // What Load sets; entries, kind, siblings and the format's scratch stay as kept.
    page->parent_ = parent;
    page->depth_ = parent->depth_ + 1;
    page->current = -1;
    page->atFirst = page->atLast = false;
    page->storedSinceRead = false;
    page->readAt = file_->PagesEpoch();
    page->readWrites = file_->Writes();
    if (!KeptPageFits(*page, *page)) RaiseCorrupt();
    page->dirty = false;
    page->asStored = true;
    return page;
}

bool NVobjIndexTag::KeptPageFits(NVobjIndexKey& page, const NVobjIndexKey& kept) const {
    // `kept` may be `page` itself: what it remembers is read before anything is set.
    const uint64_t serial = kept.serial_;
    const uint64_t fitsSerial = kept.fitsSerial_;
    const uint64_t fitsParentSerial = kept.fitsParentSerial_;
    const int32_t fitsParent = kept.fitsParent_;
    const int32_t fitsIndex = kept.fitsIndex_;
    const NVobjIndexKey* parent = page.parent_;
    // A parent changed in memory since it was read or written is dirty until written again.
    const bool settled = parent && parent->serial_ != 0 && !parent->dirty && !parent->stale;
    page.serial_ = serial;
    if (settled && serial != 0 && fitsSerial == serial && fitsParentSerial == parent->serial_ &&
        fitsParent == parent->address && fitsIndex == parent->current) {
        page.fitsSerial_ = fitsSerial;
        page.fitsParentSerial_ = fitsParentSerial;
        page.fitsParent_ = fitsParent;
        page.fitsIndex_ = fitsIndex;
        return true;
    }
    page.fitsSerial_ = 0;
    if (!PageFits(page)) return false;
    if (settled && serial != 0) {
        page.fitsSerial_ = serial;
        page.fitsParentSerial_ = parent->serial_;
        page.fitsParent_ = parent->address;
        page.fitsIndex_ = parent->current;
    }
    return true;
}

void NVobjIndexTag::TakeLeaf() {
    if (rootPage_) rootPage_->ReadCurrent(currentKey);
}

void NVobjIndexTag::TagReset(int mode) {
    // An open chain with nothing unwritten that still is the file's tree (the root where the
    // header says, nothing changed or forgotten since its pages were read) serves the new
    // position: the search runs over it and opens only the pages it does not hold already.
    const bool reusable = rootPage_ && file_->PagesTrusted() && ChainUpToDate();
    int32_t address = reusable ? RootPage() : 0;
    if (reusable && address > 0 && rootPage_->address == address) {
        gap_ = 0;
        currentKey.reference = 0;
    } else {
        // A clean chain writes nothing as it goes, so the root just read still holds.
        PageRelease();
        if (!reusable) address = RootPage();
        if (address > 0) {
            auto page = std::make_unique<NVobjIndexKey>(this, nullptr);
            page->Load(address);
            rootPage_ = std::move(page);
        }
    }
    if (mode == 2) return;
    TnvIndexTable* table = file_->table;
    if (mode == 1 && !keyExpression.empty() && table && rootPage_ && rootPage_->Count() > 0) {
        int32_t record = table->RecordNumber();
        if (record >= 1 && record <= table->RecordCount()) {
            NVobjIndexKeyData key(256);
            bool ok;
            if (KeyEvaluate(key, ok)) {
                KeyFormat(key, true);
                key.reference = record;
                if (rootPage_->Seek(key, record, -1) == 0) {
                    TakeLeaf();
                    if (TagMove(-5) != 0) return;
                }
            }
        }
    }
    TagMove(-3);
}

void NVobjIndexTag::RangeTest() {
    if (!HasRange() || atBOF || atEOF) return;
    int r = 0;
    if (rangeHighSet) {
        r = CompareKeys(rangeHigh, currentKey, rangeCompareMode);
        atEOF = r == -1;
    }
    if (r >= 0 && rangeLowSet) atBOF = CompareKeys(rangeLow, currentKey, 0) == 1;
}

int NVobjIndexTag::RangeStatus() {
    if (!HasRange()) return 0;
    if (atBOF || atEOF) return atEOF ? 1 : -1;
    int r = !rangeHighSet ? 0 : CompareKeys(rangeHigh, currentKey, rangeCompareMode);
    if (rangeHighFlag && r == 0) r = 1;
    if (r <= 0) return r;
    int c = !rangeLowSet ? -1 : CompareKeys(rangeLow, currentKey, 0);
    if (rangeLowInclusive && c == 0) return 0;
    return c + 1;
}

int32_t NVobjIndexTag::MoveTo(int mode) {
    atBOF = atEOF = false;
    const int gap = std::exchange(gap_, 0);
    switch (mode) {
        case -1:
        case -2: {
            if (!rootPage_) TagReset(2);
            if (!rootPage_) {
                atBOF = atEOF = true;
                break;
            }
            // After a reload that lost its entry the chain already stands on the neighbour
            // on one side.
            const bool there = (mode == -1 && gap > 0) || (mode == -2 && gap < 0);
            bool moved = there ? rootPage_->Current() : mode == -1 ? rootPage_->Next() : rootPage_->Prior();
            if (moved)
                TakeLeaf();
            else if (mode == -1)
                atEOF = true;
            else
                atBOF = true;
            RangeTest();
            break;
        }
        case -3: {
            TagReset(2);
            if (!rootPage_) {
                atBOF = atEOF = true;
                break;
            }
            if (!rangeLowSet || updateInProgress) {
                if (rootPage_->First())
                    TakeLeaf();
                else
                    atBOF = true;
            } else if (rootPage_->Seek(rangeLow, -1, 0) == 1) {
                atEOF = true;
            } else {
                TakeLeaf();
            }
            RangeTest();
            atBOF = atEOF = atBOF || atEOF;
            break;
        }
        case -4: {
            TagReset(2);
            if (!rootPage_) {
                atBOF = atEOF = true;
                break;
            }
            bool found = true;
            if (!rangeHighSet || updateInProgress) {
                found = rootPage_->Last();
                if (!found) atEOF = true;
            } else {
                int s = rootPage_->Seek(rangeHigh, kAfterEqual, rangeCompareMode);
                if (s == -1) {
                    found = rootPage_->Prior();
                    if (!found) atBOF = true;
                } else if (s == 1) {
                    found = rootPage_->Last();
                    if (!found) atEOF = true;
                }
            }
            if (found) TakeLeaf();
            RangeTest();
            atBOF = atEOF = atBOF || atEOF;
            break;
        }
        case -5: {
            bool found = rootPage_ && rootPage_->Current();
            if (found)
                TakeLeaf();
            else
                atBOF = atEOF = true;
            RangeTest();
            break;
        }
        default:
            currentKey.reference = 0;
            return 0;
    }
    if (atBOF || atEOF) currentKey.reference = 0;
    return currentKey.reference;
}

int32_t NVobjIndexTag::TagMove(int mode) {
    if (reverseNavigation) {
        if (mode == -3 || mode == -4) mode = -7 - mode;
        else if (mode == -1 || mode == -2) mode = -3 - mode;
    }
    int32_t result = MoveTo(mode);
    if (reverseNavigation) std::swap(atBOF, atEOF);
    return result;
}

int32_t NVobjIndexTag::KeySync(int32_t record) {
    // After a reload that lost the entry the chain stands beside it (gap_), on a neighbour
    // that may be this very record moved by another program: only a search tells.
    if (currentKey.reference == 0 || currentKey.reference != record || !rootPage_ || gap_ != 0) TagReset(1);
    return currentKey.reference;
}

int32_t NVobjIndexTag::KeyFind(const NVobjIndexKeyData& key) {
    if (file_->table) file_->exactCompare = file_->table->ExactMatch();
    currentKey.reference = 0;
    // Only the root: the search opens its own path, so going to the top first would read
    // the left edge of the tree for nothing.
    TagReset(2);
    currentKey.reference = 0;
    if (!rootPage_) {
        atBOF = atEOF = true;
        return 0;
    }
    NVobjIndexKeyData search(key);
    KeyFormat(search, true);
    atBOF = atEOF = false;
    int prefix = (file_->exactCompare || updateInProgress) ? -1 : 0;
    int s = rootPage_->Seek(search, key.reference, prefix);
    if (s == 0) {
        TakeLeaf();
        // An old key outside the range must still be found while it is being replaced.
        if (updateInProgress || RangeStatus() == 0) return currentKey.reference;
        atEOF = true;
        currentKey.reference = 0;
        return 0;
    }
    if (s == -1) {
        TakeLeaf();
        if (RangeStatus() == -1) atEOF = true;
        if (atEOF) currentKey.reference = 0;
        return 0;
    }
    atEOF = true;
    return 0;
}

int32_t NVobjIndexTag::KeyLookup(const NVobjIndexKeyData& key, bool exact) {
    // The tag's own chain and position survive a lookup: park them, search on a fresh chain.
    std::unique_ptr<NVobjIndexKey> saved = std::move(rootPage_);
    NVobjIndexKeyData savedKey(currentKey);
    bool savedBOF = atBOF;
    bool savedEOF = atEOF;
    const int savedGap = std::exchange(gap_, 0);
    int32_t result = 0;
    try {
        file_->exactCompare = exact;
        result = KeyFind(key);
        PageRelease();
    } catch (...) {
        rootPage_ = std::move(saved);
        currentKey = savedKey;
        gap_ = savedGap;
        throw;
    }
    rootPage_ = std::move(saved);
    currentKey = savedKey;
    atBOF = savedBOF;
    atEOF = savedEOF;
    gap_ = savedGap;
    return result;
}

void NVobjIndexTag::Reload() {
    if (!rootPage_) return;
    const NVobjIndexKeyData key(currentKey);
    const bool bof = atBOF;
    const bool eof = atEOF;
    // The ends as the tree lies, whichever way the tag walks it.
    const bool physicalEnd = reverseNavigation ? bof : eof;
    const bool physicalStart = reverseNavigation ? eof : bof;
    TagReset(2);
    atBOF = bof;
    atEOF = eof;
    if (!rootPage_) return;
    if (key.reference == 0) {
        // At an end: the first step back (or forward) from it takes the entry at that end.
        if (physicalEnd && !physicalStart && rootPage_->Last())
            gap_ = -1;
        else if (physicalStart && !physicalEnd && rootPage_->First())
            gap_ = 1;
        return;
    }
    const int found = rootPage_->Seek(key, key.reference, -1);
    if (found == 0) {
        TakeLeaf();
    } else if (found < 0) {
        TakeLeaf();
        gap_ = 1;
    } else if (rootPage_->Last()) {
        TakeLeaf();
        gap_ = -1;
    }
}

bool NVobjIndexTag::KeyAdd(NVobjIndexKeyData& key) {
    if (!updateInProgress) TagReset(0);
    if (!rootPage_) return false;
    NVobjIndexKeyData add(key);
    KeyFormat(add, true);
    atBOF = atEOF = false;
    const bool ordered = file_->recordOrderedKeys;
    // Without record order a new key goes after every key equal to it.
    int32_t record = ordered ? add.reference : kAfterEqual;
    if (unique) {
        if (rootPage_->Seek(add, -1, -1) == 0) return false;
        record = add.reference;
    }
    int s = rootPage_->Seek(add, record, -1);
    if (s <= 0) {
        rootPage_->InsertEntry(add, false);
        if (!updateInProgress) TagReset(0);
        // Within an update the chain still stands on the entry just put in, which is the
        // one a search for it would find when keys are told apart by their records.
        if (!updateInProgress || !ordered) rootPage_->Seek(add, record, -1);
        if (record == kAfterEqual) rootPage_->Prior();
        int bits = rootPage_->ReadCurrent(currentKey);
        atBOF = (bits & 1) != 0;
        atEOF = (bits & 2) != 0;
        if (reverseNavigation) std::swap(atBOF, atEOF);
        // A key that would not read back as itself leaves the chain on an entry the file
        // does not hold.
        placed_ = updateInProgress && ordered && EntryAsStored(add);
    } else {
        const int physicalLast = reverseNavigation ? -3 : -4;
        TagMove(physicalLast);
        rootPage_->InsertEntry(add, true);
        if (!updateInProgress) TagReset(0);
        TagMove(physicalLast);
        if (reverseNavigation)
            atBOF = true;
        else
            atEOF = true;
    }
    return true;
}

bool NVobjIndexTag::KeyUpdate(int32_t record, bool appending) {
    TnvIndexTable* table = file_->table;
    if (!table || !table->HasOldRecord() || !(table->RecordModified() || hasFor)) return false;
    struct Guard {
        NVobjIndexTag* tag;
        TnvIndexTable* table;
        bool old = false;
        ~Guard() {
            if (old) table->UseOldRecord(false);
            tag->updateInProgress = false;
        }
    } guard{this, table};
    updateInProgress = true;
    changed = false;
    placed_ = false;
    settled_ = false;
    bool pass = !hasFor || ForEvaluate();
    NVobjIndexKeyData work(256);
    bool ok;
    KeyEvaluate(work, ok);
    work.recNo = record;
    work.reference = record;
    if (appending) {
        if (pass) {
            TagReset(2);
            KeyAdd(work);
            changed = true;
        }
    } else {
        table->UseOldRecord(true);
        guard.old = true;
        NVobjIndexKeyData old(256);
        KeyEvaluate(old, ok);
        old.recNo = record;
        old.reference = record;
        bool found = StandsOn(old) || KeyFind(old) != 0;
        int32_t position = 0;
        bool differ = work.Compare(&old, position, Collation(), -1) != 0;
        bool add = pass;
        if (differ || (hasFor && !pass)) {
            if (found) {
                rootPage_->DeleteCurrent();
                changed = true;
            }
        } else {
            add = pass && !found;
        }
        table->UseOldRecord(false);
        guard.old = false;
        if (add) {
            if (!rootPage_) TagReset(2);
            KeyAdd(work);
            changed = true;
        }
    }
    // The pages go to the file now, while the writer holds the lock. A chain left on the
    // record's new entry stays open where writing did not reshape it, positioned as KeySync
    // would position it, so the cursor's resync after the write needs no search.
    updateInProgress = false;
    if (placed_ && FlushChain() && TagMove(-5) == record)
        settled_ = true;
    else
        PageRelease();
    return changed;
}

bool NVobjIndexTag::SetRange(const TnvVariant* low, bool prefixHigh, bool lowInclusive, bool highFlag,
                             const TnvVariant* high) {
    // Bounds take the partial form, as searches do: loaded character keys have no trailing
    // blanks, so a bound of blanks must become the empty key (which blank keys equal) rather
    // than a padded one that no loaded key could match. Whether a side has a bound is kept
    // apart from the key, since the empty key is a bound too.
    auto prepare = [this](const TnvVariant* bound) {
        NVobjIndexKeyData key;
        if (bound && !bound->IsEmpty()) {
            static_cast<TnvVariant&>(key) = *bound;
            KeyFormat(key, true);
        }
        return key;
    };
    const bool lowSet = low && !low->IsEmpty();
    const bool highSet = high && !high->IsEmpty();
    NVobjIndexKeyData newLow = prepare(low);
    NVobjIndexKeyData newHigh = prepare(high);
    auto differs = [this](bool setA, const TnvVariant& a, bool setB, const TnvVariant& b) {
        if (setA != setB) return true;
        if (!setA) return false;
        if (a.IsEmpty() != b.IsEmpty()) return true;
        if (a.IsEmpty()) return false;
        if (a.Kind() != b.Kind()) return true;
        int32_t position = 0;
        return a.Compare(&b, position, Collation(), -1) != 0;
    };
    // A new compare mode or flag with the same bounds is a new range too.
    const int32_t mode = prefixHigh ? 0 : -1;
    if (!differs(lowSet, newLow, rangeLowSet, rangeLow) && !differs(highSet, newHigh, rangeHighSet, rangeHigh) &&
        mode == rangeCompareMode && rangeLowInclusive == (lowInclusive ? 1 : 0) &&
        rangeHighFlag == (highFlag ? 1 : 0))
        return false;
    rangeLow = NVobjIndexKeyData();
    rangeHigh = NVobjIndexKeyData();
    rangeCompareMode = mode;
    rangeLowInclusive = lowInclusive ? 1 : 0;
    rangeHighFlag = highFlag ? 1 : 0;
    rangeLowSet = lowSet;
    rangeHighSet = highSet;
    if (lowSet) rangeLow = newLow;
    if (highSet) rangeHigh = newHigh;
    TagMove(-3);
    return true;
}

void NVobjIndexTag::SplitCountLimited(NVobjIndexKey& page) {
    while (maxEntries > 0 && page.Count() > maxEntries) {
        int n = page.Count() - page.Count() / 2;
        if (n > maxEntries) n = maxEntries;
        NVobjIndexKey left(this, page.Parent());
        left.kind = page.kind == NVobjIndexKey::kNewRoot ? uint8_t{NVobjIndexKey::kInterior} : page.kind;
        for (int i = 0; i < n; ++i) left.Add(page.ExtractAt(0).release());
        left.address = file_->NewPage();
        if (left.address <= 0) RaiseCorrupt();
        left.leftSibling = page.leftSibling;
        left.rightSibling = page.address;
        PageStore(left);
        left.dirty = false;
        NVobjIndexKeyData entry(*left.Items(n - 1));
        entry.reference = left.address;
        page.InsertInParent(entry);
        page.leftSibling = left.address;
        page.current = ClampIndex(page.current - n, page.Count());
        page.stale = true;
    }
    if (page.kind == NVobjIndexKey::kNewRoot && page.Parent()) page.kind = NVobjIndexKey::kInterior;
}

// ---- NVobjIndexFile ------------------------------------------------------------------

NVobjIndexFile::NVobjIndexFile(TnvIndexTable* owner, std::string_view name)
    : fileName(name), table(owner), exactCompare(owner ? owner->ExactMatch() : true) {
    NvSetIndexLockRange(lockProtocol, lockRange);
}

NVobjIndexFile::~NVobjIndexFile() {
    // Tags write through this file while they release, so they go before the disk file.
    tags.FreeAll();
}

bool NVobjIndexFile::TagAdd(std::string_view, std::string_view, bool, bool, std::string_view) { return false; }

bool NVobjIndexFile::TagDelete(std::string_view) { return false; }

int32_t NVobjIndexFile::NewPage() { return -1; }

int32_t NVobjIndexFile::SetEnd() { return -1; }

namespace {

constexpr int32_t kCipherPiece = 512;

// Every 512-byte piece restarts the cipher stream, so a page reads the same wherever it lies.
void CipherPieces(std::string_view password, uint8_t* bytes, int32_t length, bool encipher) {
    for (int32_t at = 0; at < length; at += kCipherPiece) {
        std::size_t n = static_cast<std::size_t>(std::min(kCipherPiece, length - at));
        Cipher(password, bytes + at, bytes + at, n, encipher);
    }
}

}  // namespace

bool NVobjIndexFile::CacheAnswers() {
    if (!diskFile) return false;
    if (diskFile->Changes() != cacheChanges_) {
        // Written, truncated or reopened other than through PageWrite (a rebuild, a zap).
        ForgetPageCache();
        cacheChanges_ = diskFile->Changes();
    }
    if (!diskFile->Shared()) return true;
    return vouched_ && diskFile->LockHolds() > 0 && diskFile->LockEpoch() == vouchedEpoch_;
}

void NVobjIndexFile::VouchForCache(bool keep) {
    if (!diskFile) return;
    if (!keep) ForgetPageCache();
    vouched_ = diskFile->LockHolds() > 0;
    vouchedEpoch_ = diskFile->LockEpoch();
}

bool NVobjIndexFile::PageReadFromDisk(int64_t address, void* buffer, int32_t length) {
    if (!diskFile || address < 0 || length < 0) return false;
    if (diskFile->ReadAt(address, buffer, length) != length) return false;
    if (table && table->Enciphered())
        CipherPieces(table->ReadPassword(), static_cast<uint8_t*>(buffer), length, false);
    return true;
}

bool NVobjIndexFile::PageRead(int64_t address, void* buffer, int32_t length) {
    const bool cached = CacheAnswers();
    if (cached && pageCache_.Get(address, buffer, length)) return true;
    if (!PageReadFromDisk(address, buffer, length)) return false;
    if (cached) pageCache_.Put(address, buffer, length);
    return true;
}

void NVobjIndexFile::PageWrite(int64_t address, const void* buffer, int32_t length) {
    if (!diskFile) return;
    // The cache follows the write: dropped first in case the write fails half done, given
    // the new bytes once they are written.
    CacheAnswers();
    pageCache_.Drop(address, length);
    writeLog_[writes_ % kWriteLog] = Written{address, length};
    ++writes_;
    if (table && table->Enciphered()) {
        std::vector<uint8_t> copy(static_cast<const uint8_t*>(buffer), static_cast<const uint8_t*>(buffer) + length);
        CipherPieces(table->WritePassword(), copy.data(), length, true);
        diskFile->WriteAt(address, copy.data(), length);
    } else {
        diskFile->WriteAt(address, buffer, length);
    }
    // A tag build (the only writer that holds its writes behind) writes every page once and
    // reads none back: a copy of each would cost an allocation and push out the pages that
    // searches use.
    if (!diskFile->WritingBehind()) pageCache_.Put(address, buffer, length);
    cacheChanges_ = diskFile->Changes();
}

bool NVobjIndexFile::WrittenSince(uint64_t since, int64_t address, int64_t length) const {
    if (writes_ - since > kWriteLog) return true;
    for (uint64_t n = since + 1; n <= writes_; ++n) {
        const Written& w = writeLog_[(n - 1) % kWriteLog];
        if (w.address < address + length && address < w.address + w.length) return true;
    }
    return false;
}

void NVobjIndexFile::Recrypt() {
    if (!diskFile || !table) return;
    const std::string oldPassword = table->ReadPassword();
    const std::string newPassword = table->WritePassword();
    const int64_t blocks = diskFile->FileSize() / kCipherPiece;
    uint8_t block[kCipherPiece];
    for (int64_t i = 0; i < blocks; ++i) {
        if (diskFile->ReadAt(i * kCipherPiece, block, kCipherPiece) != kCipherPiece) break;
        Recipher(oldPassword, newPassword, block, kCipherPiece);
        diskFile->WriteAt(i * kCipherPiece, block, kCipherPiece);
    }
}

void NVobjIndexFile::Reindex() {}

void NVobjIndexFile::Rename(std::string_view newName) {
    if (!diskFile) return;
    std::string ext;
    std::size_t dot = fileName.find_last_of('.');
    if (dot != std::string::npos) ext = fileName.substr(dot);
    std::string target(newName);
    std::size_t slash = target.find_last_of('/');
    std::size_t newDot = target.find_last_of('.');
    if (newDot != std::string::npos && (slash == std::string::npos || newDot > slash)) target.resize(newDot);
    target += ext;
    diskFile->Rename(target);
    fileName = target.substr(slash == std::string::npos ? 0 : slash + 1);
}

void NVobjIndexFile::Zap() {}

bool NVobjIndexFile::RecordChanged(int32_t record, bool appending) {
    // Every update starts from the file as it holds it now, whoever wrote last; the mark is
    // taken as it is, so that our own write counts on from it; new pages go after the end of
    // the file as it is now. Where the change counter shows that no other program wrote since
    // the open chains were read, they are the file's pages and the update starts from them
    // (the current tag's chain usually stands on the record's old key already); otherwise
    // every chain goes and the update starts from the root. Without a counter, an edit
    // inside existing pages leaves no mark.
    bool keepChains = CountsChanges();
    for (int i = 0; keepChains && i < tags.Count(); ++i) keepChains = tags.Items(i)->ChainUpToDate();
    if (!keepChains)
        for (int i = 0; i < tags.Count(); ++i) tags.Items(i)->PageRelease();
    const bool moved = ChangedByOther();
    VouchForCache(CountsChanges());
    if (keepChains && (moved || !PagesTrusted()))
        for (int i = 0; i < tags.Count(); ++i) tags.Items(i)->PageRelease();
    nextPage = -1;
    bool any = false;
    for (int i = 0; i < tags.Count(); ++i)
        if (tags.Items(i)->KeyUpdate(record, appending)) any = true;
    // The pages go to the file while the caller still holds the lock; the size after them
    // is our own, not another program's change. A format with a change counter never looks
    // at the size, so it is not asked for. A chain the update left on the record's new
    // entry stays for the cursor.
    for (int i = 0; i < tags.Count(); ++i)
        if (!tags.Items(i)->TakeSettled()) tags.Items(i)->PageRelease();
    if (diskFile && diskFile->Shared() && !CountsChanges()) seenSize_ = diskFile->FileSize();
    return any;
}

bool NVobjIndexFile::ChangedByOther() {
    if (!diskFile || !diskFile->Shared()) return false;
    const int64_t size = diskFile->FileSize();
    const bool moved = size != seenSize_;
    seenSize_ = size;
    if (moved) ForgetPageCache();
    return moved;
}

bool NVobjIndexFile::RefreshShared() {
    if (!diskFile || !diskFile->Shared()) return false;
    // Without a counter an edit inside existing pages leaves no mark: such a file is read
    // again every time.
    const bool moved = ChangedByOther();
    VouchForCache(CountsChanges());
    if (!moved && CountsChanges()) return false;
    nextPage = -1;
    for (int i = 0; i < tags.Count(); ++i) tags.Items(i)->Reload();
    return true;
}

void NVobjIndexFile::SetLockProtocol(TnvLokProtocol protocol) {
    if (NvSetIndexLockRange(protocol, lockRange)) lockProtocol = protocol;
}

bool NVobjIndexFile::OpenDisk(std::string_view name, std::string_view defaultExt, bool overwrite, bool create,
                              bool shared, bool& created) {
    created = false;
    while (!name.empty() && (name.front() == ' ' || name.front() == '\t')) name.remove_prefix(1);
    while (!name.empty() && (name.back() == ' ' || name.back() == '\t')) name.remove_suffix(1);
    std::string path = DefaultExt(name, defaultExt);
    std::size_t slash = path.find_last_of('/');
    fileName = path.substr(slash == std::string::npos ? 0 : slash + 1);
    if (table && slash == std::string::npos) path = table->Directory() + path;
    diskFile = std::make_unique<NVO_DiskFile>(path, shared, true);
    if (create && (overwrite || !diskFile->Exists())) {
        diskFile->CreateNew();
        created = true;
        return true;
    }
    if (!diskFile->Exists()) {
        diskFile.reset();
        return false;
    }
    if (table) diskFile->SetReadWrite(table->ReadWrite());
    diskFile->Open();
    if (shared) seenSize_ = diskFile->FileSize();
    return true;
}

void NVobjIndexFile::CheckProductionIndex() {
    if (!table || !diskFile) return;
    const std::string tablePath = table->TableFileName();
    if (tablePath.empty() || table->HasProductionIndex()) return;
    // Directory and base name without the extension, upper-cased: the family's programs
    // treat file names without regard to case.
    auto stem = [](std::string_view path) {
        std::string full = NvExpandFileName(path);
        std::size_t slash = full.find_last_of('/');
        std::size_t dot = full.find_last_of('.');
        if (dot != std::string::npos && (slash == std::string::npos || dot > slash)) full.resize(dot);
        for (char& c : full)
            if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
        return full;
    };
    if (stem(diskFile->FileName()) == stem(tablePath)) table->MarkProductionIndex();
}

void NVobjIndexFile::RebuildThrough(const std::function<std::unique_ptr<NVobjIndexFile>(const std::string&)>& open,
                                    const std::function<void(NVobjIndexFile&)>& build) {
    if (!diskFile) return;
    const std::string own = diskFile->FileName();
    const std::size_t slash = own.find_last_of('/');
    const std::size_t dot = own.find_last_of('.');
    const std::string ext = dot != std::string::npos && (slash == std::string::npos || dot > slash) ? own.substr(dot)
                                                                                                     : std::string();
    const std::string scratchPath =
        (slash == std::string::npos ? std::string() : own.substr(0, slash + 1)) + "_" + UniqueName() + ext;
    try {
        std::unique_ptr<NVobjIndexFile> scratch = open(scratchPath);
        if (!scratch || !scratch->diskFile) NvRaise(TnvMsg::CouldNotCreate, {scratchPath});
        build(*scratch);
        for (int i = 0; i < scratch->TagCount(); ++i) scratch->TagByNumber(i)->PageRelease();
        // The new file must be on the disk before its name can stand for the index.
        scratch->diskFile->Flush();
        // Closing writes what a format keeps until then (the MDX file header).
        scratch.reset();
        if (!diskFile->Shared()) {
            // Nobody else has the file open: the finished copy takes its name in one rename,
            // so a crash at any point leaves the old or the new index, never half of one.
            diskFile->Close();
            if (!NvOS().RenameReplace(scratchPath, own)) {
                diskFile->Open();
                NvRaise(TnvMsg::RenameError, {scratchPath});
            }
            diskFile->Open();
        } else {
            // Other programs hold this very file open: its contents must change in place.
            NVO_DiskFile built(scratchPath, false, false);
            built.Open();
            // Only now, with every tag built, does the old content go. Bytes are copied as
            // they lie (enciphered pages decipher the same wherever they are).
            const int64_t size = built.FileSize();
            std::vector<uint8_t> chunk(static_cast<std::size_t>(std::min<int64_t>(size, int64_t{1} << 20)));
            diskFile->Truncate(0);
            for (int64_t at = 0; at < size;) {
                const int64_t n = std::min<int64_t>(size - at, static_cast<int64_t>(chunk.size()));
                if (built.ReadAt(at, chunk.data(), n) != n) NvRaise(TnvMsg::ReadError, {scratchPath});
                diskFile->WriteAt(at, chunk.data(), n);
                at += n;
            }
            diskFile->Flush();
            built.Close();
            NvOS().Unlink(scratchPath);
        }
    } catch (...) {
        if (NvOS().Exists(scratchPath)) NvOS().Unlink(scratchPath);
        throw;
    }
    nextPage = -1;
}

void NVobjIndexFile::LockIndex() {
    if (!diskFile || !diskFile->Shared()) return;
    NvLockIndexFile(*diskFile, lockRange);
}

bool NVobjIndexFile::BuildOnlyTag(NVobjIndexTag* made, std::string_view keyExpression, bool unique,
                                  bool ascending, std::string_view forExpression) {
    auto abandon = [this, made] {
        made->dirty = false;
        tags.FreeAll();
        if (diskFile) diskFile->Truncate(0);
        nextPage = 0;
    };
    bool built = false;
    try {
        built = made->TagCreate(made->tagName, keyExpression, unique, ascending, forExpression);
    } catch (...) {
        abandon();
        throw;
    }
    if (!built) abandon();
    return built;
}

NVobjIndexTag* NVobjIndexFile::TagByName(std::string_view name) const {
    auto same = [](std::string_view a, std::string_view b) {
        if (a.size() != b.size()) return false;
        for (std::size_t i = 0; i < a.size(); ++i) {
            unsigned char x = static_cast<unsigned char>(a[i]);
            unsigned char y = static_cast<unsigned char>(b[i]);
            if (x >= 'a' && x <= 'z') x = static_cast<unsigned char>(x - 32);
            if (y >= 'a' && y <= 'z') y = static_cast<unsigned char>(y - 32);
            if (x != y) return false;
        }
        return true;
    };
    for (int i = 0; i < tags.Count(); ++i)
        if (same(tags.Items(i)->tagName, name)) return tags.Items(i);
    return nullptr;
}

std::string NVobjIndexFile::MessageName() const { return diskFile ? diskFile->FileName() : fileName; }

// ---- relative positions ----------------------------------------------------------------
//
// A scroll bar over a large order needs the current key's place and a way to jump to any
// place without walking the tag. The open path answers both: an entry's index over its
// page's entries, level by level, places it to within the share its leaf entry covers.

bool NVobjIndexKey::Descend(double fraction) {
    NVobjIndexKey* page = this;
    for (;;) {
        const int n = page->Count();
        if (n == 0) {
            page->current = -1;
            return false;
        }
        const double scaled = std::clamp(fraction, 0.0, 1.0) * n;
        const int index = std::min(static_cast<int>(scaled), n - 1);
        page->current = index;
        if (!page->IsInterior()) return true;
        fraction = scaled - index;
        bool fresh;
        // OpenChild refuses cycles and trees deeper than any file could hold.
        page = page->OpenChild(fresh);
    }
}

bool NVobjIndexTag::PathShare(double& before, double& width) const {
    before = 0;
    width = 1;
    const NVobjIndexKey* page = rootPage_.get();
    for (int depth = 0; page && depth <= kMaxDepth; ++depth) {
        const int n = page->Count();
        if (page->current < 0 || page->current >= n) return false;
        width /= n;
        before += page->current * width;
        if (!page->IsInterior()) return true;
        const NVobjIndexKey* child = page->Child();
        if (!child || child->address != page->Items(page->current)->reference) return false;
        page = child;
    }
    return false;
}

double NVobjIndexTag::OrderShare() const {
    double before;
    double width;
    if (!PathShare(before, width)) return -1;
    // The last key starts at 1 - width; scaling by that makes it 1 and keeps the order of
    // places, whatever the pages' fill.
    const double rest = 1.0 - width;
    if (rest <= 0) return 0;
    const double place = reverseNavigation ? 1.0 - before - width : before;
    return std::clamp(place / rest, 0.0, 1.0);
}

bool NVobjIndexTag::RangeShares(double& low, double& high) {
    std::unique_ptr<NVobjIndexKey> saved = std::move(rootPage_);
    const NVobjIndexKeyData savedKey(currentKey);
    const bool savedBOF = atBOF;
    const bool savedEOF = atEOF;
    auto restore = [&] {
        rootPage_ = std::move(saved);
        currentKey = savedKey;
        atBOF = savedBOF;
        atEOF = savedEOF;
    };
    bool found = false;
    try {
        found = TagMove(-3) != 0;
        if (found) low = OrderShare();
        found = found && TagMove(-4) != 0;
        if (found) high = OrderShare();
        PageRelease();
    } catch (...) {
        restore();
        throw;
    }
    restore();
    return found && low >= 0 && high >= 0;
}

double NVobjIndexTag::RelativePosition() {
    if (currentKey.reference == 0) return 0;
    const double place = OrderShare();
    if (place < 0) return 0;
    if (!HasRange()) return place;
    double low = 0;
    double high = 0;
    if (!RangeShares(low, high) || high <= low) return 0;
    return std::clamp((place - low) / (high - low), 0.0, 1.0);
}

int32_t NVobjIndexTag::TagMoveRelative(double fraction) {
    // Not-a-number lands at the top like 0.
    fraction = fraction > 0 ? std::min(fraction, 1.0) : 0.0;
    if (HasRange()) {
        double low = 0;
        double high = 0;
        if (!RangeShares(low, high)) return TagMove(-3);
        fraction = low + fraction * (high - low);
    }
    TagReset(2);
    atBOF = atEOF = false;
    if (!rootPage_) {
        atBOF = atEOF = true;
        currentKey.reference = 0;
        return 0;
    }
    // An empty leaf met on the way (only a damaged or half-maintained tree has one below the
    // root) gives way to the key after it, or else the last key.
    if (rootPage_->Descend(reverseNavigation ? 1.0 - fraction : fraction) || rootPage_->Next() ||
        rootPage_->Last()) {
        TakeLeaf();
    } else {
        atBOF = atEOF = true;
        currentKey.reference = 0;
        return 0;
    }
    // Rounding can put the key just outside the range: its nearer end is the answer then.
    RangeTest();
    if (reverseNavigation) std::swap(atBOF, atEOF);
    if (atBOF) return TagMove(-3);
    if (atEOF) return TagMove(-4);
    return currentKey.reference;
}
