#include "nv6_tool.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "nv6_date.h"
#include "nv6_glbl.h"
#include "nv6_lcal.h"

// ---- TnvVariant ----------------------------------------------------------------------

TnvVariant::TnvVariant(int32_t capacity) {
    if (capacity > 0) {
        if (capacity > kInline)
            heap_ = std::make_unique<uint8_t[]>(static_cast<std::size_t>(capacity));
        else
            std::memset(inline_, 0, static_cast<std::size_t>(capacity));
        capacity_ = capacity;
    }
}

TnvVariant::TnvVariant(const TnvVariant& other) { Assign(&other); }

TnvVariant& TnvVariant::operator=(const TnvVariant& other) {
    if (this != &other) Assign(&other);
    return *this;
}

TnvVariant::TnvVariant(TnvVariant&& other) noexcept
    : heap_(std::move(other.heap_)), capacity_(other.capacity_), length_(other.length_), kind_(other.kind_) {
    if (capacity_ > 0 && capacity_ <= kInline) std::memcpy(inline_, other.inline_, static_cast<std::size_t>(capacity_));
    other.capacity_ = other.length_ = 0;
    other.kind_ = kEmpty;
}

TnvVariant& TnvVariant::operator=(TnvVariant&& other) noexcept {
    if (this != &other) {
        heap_ = std::move(other.heap_);
        capacity_ = other.capacity_;
        length_ = other.length_;
        kind_ = other.kind_;
        if (capacity_ > 0 && capacity_ <= kInline)
            std::memcpy(inline_, other.inline_, static_cast<std::size_t>(capacity_));
        other.capacity_ = other.length_ = 0;
        other.kind_ = kEmpty;
    }
    return *this;
}

bool TnvVariant::Assign(const TnvVariant* source) {
    if (source == this) return true;
    Clear();
    if (!source) return false;
    if (source->capacity_ > 0) {
        if (source->capacity_ > kInline) heap_ = std::make_unique<uint8_t[]>(static_cast<std::size_t>(source->capacity_));
        capacity_ = source->capacity_;
        std::memcpy(Bytes(), source->Bytes(), static_cast<std::size_t>(capacity_));
    }
    length_ = source->length_;
    kind_ = source->kind_;
    return true;
}

void TnvVariant::Clear() {
    heap_.reset();
    capacity_ = length_ = 0;
    kind_ = kEmpty;
}

void TnvVariant::SetLength(int32_t n) {
    if (n < 0) n = 0;
    if (capacity_ < n) {
        // The bytes past the old capacity start as zeros, wherever the value lives.
        if (n > kInline) {
            auto grown = std::make_unique<uint8_t[]>(static_cast<std::size_t>(n));
            if (capacity_ > 0) std::memcpy(grown.get(), Bytes(), static_cast<std::size_t>(capacity_));
            heap_ = std::move(grown);
        } else {
            std::memset(inline_ + capacity_, 0, static_cast<std::size_t>(n - capacity_));
        }
        capacity_ = n;
        kind_ = kEmpty;
    }
    length_ = n;
}

void TnvVariant::PutString(std::string_view text) {
    SetLength(static_cast<int32_t>(text.size()));
    if (!text.empty()) std::memcpy(Bytes(), text.data(), text.size());
    kind_ = kCharacter;
}

void TnvVariant::PutNumber(double value) {
    SetLength(8);
    std::memcpy(Bytes(), &value, 8);
    kind_ = kNumeric;
}

void TnvVariant::PutDate(int32_t day) {
    SetLength(4);
    std::memcpy(Bytes(), &day, 4);
    kind_ = kDate;
}

void TnvVariant::PutLogical(uint8_t value) {
    SetLength(1);
    Bytes()[0] = value;
    kind_ = kLogical;
}

void TnvVariant::PutBinary(const void* bytes, int32_t n) {
    if (!bytes || n < 0) n = 0;
    SetLength(n);
    if (n > 0) std::memmove(Bytes(), bytes, static_cast<std::size_t>(n));
    kind_ = kBinary;
}

void TnvVariant::AppendBinary(const void* bytes, int32_t n) {
    if (!bytes || n <= 0) return;
    int32_t old = length_;
    // The source may live inside our own buffer, which SetLength can move.
    std::vector<uint8_t> copy(static_cast<const uint8_t*>(bytes), static_cast<const uint8_t*>(bytes) + n);
    SetLength(old + n);
    std::memcpy(Bytes() + old, copy.data(), copy.size());
    kind_ = kBinary;
}

void TnvVariant::UpperCase() { PutString(nvlocale::AnsiUpperCase(AsString())); }

void TnvVariant::PadRight(int32_t n) {
    if (kind_ != kCharacter || n <= length_) return;
    int32_t old = length_;
    SetLength(n);
    std::memset(Bytes() + old, ' ', static_cast<std::size_t>(n - old));
    kind_ = kCharacter;
}

void TnvVariant::TrimRight() {
    if (kind_ != kCharacter) return;
    while (length_ > 0 && Bytes()[length_ - 1] == ' ') --length_;
}

namespace {

// The first `width` bytes of a value, missing bytes read as zero.
template <class T>
T LoadPrefix(const uint8_t* data, int32_t length) {
    uint8_t bytes[sizeof(T)] = {};
    if (data && length > 0) std::memcpy(bytes, data, std::min<std::size_t>(sizeof(T), static_cast<std::size_t>(length)));
    T value;
    std::memcpy(&value, bytes, sizeof(T));
    return value;
}

bool IsTrueLetter(uint8_t c) { return std::strchr("TtYyJj", c) != nullptr && c != 0; }

}  // namespace

bool TnvVariant::AsLogical() const {
    if (IsEmpty()) return false;
    switch (kind_) {
        case kCharacter: return IsTrueLetter(Bytes()[0]);
        case kNumeric: return std::trunc(LoadPrefix<double>(Bytes(), length_)) != 0;
        case kDate: return false;
        case kLogical:
        case kBinary: return Bytes()[0] != 0;
        default: return false;
    }
}

int32_t TnvVariant::AsDate() const {
    if (IsEmpty()) return 0;
    switch (kind_) {
        case kCharacter: return DBFDate.TextToDay(View());
        case kNumeric: {
            double whole = std::trunc(LoadPrefix<double>(Bytes(), length_));
            if (!(whole > 0) || whole > 99999999.0) return whole > 0 ? 2415019 : 0;
            char text[16];
            std::snprintf(text, sizeof text, "%08lld", static_cast<long long>(whole));
            return DBFDate.TextToDay(text);
        }
        case kDate:
        case kBinary: return LoadPrefix<int32_t>(Bytes(), length_);
        default: return 0;
    }
}

double TnvVariant::AsNumber() const {
    if (IsEmpty()) return 0.0;
    switch (kind_) {
        case kCharacter: return nvlocale::ParseNumber(View(), nvlocale::DecimalSeparator());
        case kNumeric:
        case kBinary: return LoadPrefix<double>(Bytes(), length_);
        case kDate: return LoadPrefix<int32_t>(Bytes(), length_);
        case kLogical: return Bytes()[0] != 0 ? 1.0 : 0.0;
        default: return 0.0;
    }
}

std::string TnvVariant::AsString() const {
    if (IsEmpty()) return std::string();
    switch (kind_) {
        case kCharacter:
        case kBinary: return std::string(View());
        case kNumeric:
            return nvlocale::FormatShortest(LoadPrefix<double>(Bytes(), length_), nvlocale::DecimalSeparator());
        case kDate: return DBFDate.DayToText(LoadPrefix<int32_t>(Bytes(), length_));
        case kLogical: return Bytes()[0] != 0 ? "T" : "F";
        default: return std::string();
    }
}

char* TnvVariant::AsPChar(char* buffer) const {
    std::string text = AsString();
    std::memcpy(buffer, text.data(), text.size());
    buffer[text.size()] = '\0';
    return buffer;
}

int TnvVariant::Compare(const TnvVariant* other, int32_t& position, const uint8_t* table, int prefixResult) const {
    position = 0;
    if (kind_ == kEmpty) return (other && other->length_ > 0 && other->capacity_ > 0) ? -1 : 0;
    if (!other) return 1;
    uint8_t kind;
    if (kind_ == other->kind_) kind = kind_;
    else if (kind_ == kBinary) kind = other->kind_;
    else if (other->kind_ == kBinary) kind = kind_;
    else NvRaise(TnvMsg::VariantMismatch, {});
    return CompareAs(kind, *other, position, table, prefixResult);
}

int TnvVariant::CompareLoose(const TnvVariant* other, int32_t& position, const uint8_t* table, int prefixResult) const {
    if (kind_ != kNumeric) return Compare(other, position, table, prefixResult);
    position = 0;
    if (!other) return 1;
    // A numeric self counts as binary for the kind check only: the other's kind decides.
    uint8_t kind = other->kind_;
    return CompareAs(kind, *other, position, table, prefixResult);
}

namespace {

int Sign(int v) { return v < 0 ? -1 : (v > 0 ? 1 : 0); }

int CompareBytes(const uint8_t* a, int32_t la, const uint8_t* b, int32_t lb, const uint8_t* table, bool prefixRule,
                 int prefixResult, int32_t& position) {
    int32_t n = std::min(la, lb);
    for (int32_t i = 0; i < n; ++i) {
        int ca = table ? table[a[i]] : a[i];
        int cb = table ? table[b[i]] : b[i];
        if (ca != cb) {
            position = i + 1;
            return ca < cb ? -1 : 1;
        }
    }
    position = n + 1;
    int result = la - lb;
    if (prefixRule && result < 0 && la < position) return prefixResult;
    return Sign(result);
}

}  // namespace

int TnvVariant::CompareAs(uint8_t kind, const TnvVariant& other, int32_t& position, const uint8_t* table,
                          int prefixResult) const {
    position = 0;
    bool selfEmpty = IsEmpty(), otherEmpty = other.IsEmpty();
    if (selfEmpty || otherEmpty) return selfEmpty == otherEmpty ? 0 : (selfEmpty ? -1 : 1);
    switch (kind) {
        case kCharacter:
            return CompareBytes(Bytes(), length_, other.Bytes(), other.length_, table, true, prefixResult,
                                position);
        case kNumeric: {
            double a = LoadPrefix<double>(Bytes(), length_);
            double b = LoadPrefix<double>(other.Bytes(), other.length_);
            return a < b ? -1 : (a > b ? 1 : 0);
        }
        case kDate: {
            int32_t a = LoadPrefix<int32_t>(Bytes(), length_);
            int32_t b = LoadPrefix<int32_t>(other.Bytes(), other.length_);
            return a < b ? -1 : (a > b ? 1 : 0);
        }
        case kLogical:
            if (Bytes()[0] == other.Bytes()[0]) return 0;
            return Bytes()[0] != 0 ? 1 : -1;
        case kBinary:
            return CompareBytes(Bytes(), length_, other.Bytes(), other.length_, nullptr, false, prefixResult,
                                position);
        default: return 0;
    }
}

// ---- TnvHugeSet ----------------------------------------------------------------------

void TnvHugeSet::ClearAll() {
    for (auto& page : pages_)
        if (page) std::memset(page.get(), 0, kPageBytes);
    highest_ = -1;
}

void TnvHugeSet::Change(int32_t index, int op) {
    if (index < 0) return;
    std::size_t pageNo = static_cast<std::size_t>(index / kPageBits);
    if (pages_.size() <= pageNo) pages_.resize(pageNo + 1);
    for (std::size_t p = 0; p <= pageNo; ++p)
        if (!pages_[p]) pages_[p] = std::make_unique<uint8_t[]>(kPageBytes);  // zero-filled
    if (highest_ < index) highest_ = index;
    uint8_t& byte = pages_[pageNo][(index / 8) % kPageBytes];
    uint8_t mask = static_cast<uint8_t>(1u << (index % 8));
    switch (op) {
        case 0: byte &= static_cast<uint8_t>(~mask); break;
        case 1: byte |= mask; break;
        case 2: byte ^= mask; break;
        default: break;
    }
}

bool TnvHugeSet::Test(int32_t index) const {
    if (index < 0 || index > highest_) return false;
    std::size_t pageNo = static_cast<std::size_t>(index / kPageBits);
    if (pageNo >= pages_.size() || !pages_[pageNo]) return false;
    return (pages_[pageNo][(index / 8) % kPageBytes] >> (index % 8)) & 1u;
}

int32_t TnvHugeSet::NextSet(int32_t from) const {
    if (from < 0) from = 0;
    for (int32_t i = from; i <= highest_;) {
        std::size_t pageNo = static_cast<std::size_t>(i / kPageBits);
        if (pageNo >= pages_.size() || !pages_[pageNo]) {
            i = static_cast<int32_t>((pageNo + 1) * kPageBits);
            continue;
        }
        uint8_t byte = pages_[pageNo][(i / 8) % kPageBytes];
        if ((i % 8) == 0 && byte == 0) {
            i += 8;
            continue;
        }
        if ((byte >> (i % 8)) & 1u) return i;
        ++i;
    }
    return -1;
}

int32_t TnvHugeSet::PriorSet(int32_t from) const {
    if (from > highest_) from = highest_;
    for (int32_t i = from; i >= 0;) {
        std::size_t pageNo = static_cast<std::size_t>(i / kPageBits);
        if (pageNo >= pages_.size() || !pages_[pageNo]) {
            i = static_cast<int32_t>(pageNo * kPageBits) - 1;
            continue;
        }
        uint8_t byte = pages_[pageNo][(i / 8) % kPageBytes];
        if ((i % 8) == 7 && byte == 0) {
            i -= 8;
            continue;
        }
        if ((byte >> (i % 8)) & 1u) return i;
        --i;
    }
    return -1;
}

// ---- TnvPageCollection ---------------------------------------------------------------

TnvPageCollection::TnvPageCollection(const TnvSortOwner* sort) : sort_(sort) {}

void TnvPageCollection::Add(const TnvVariant& value, uint8_t tag, int32_t stored) {
    int32_t length = std::min<int32_t>(value.Length(), 255);
    stored = std::clamp<int32_t>(stored, 0, length);
    // Bytes not stored must repeat the entry before; when they do not, store them.
    int32_t shared = length - stored;
    if (shared > static_cast<int32_t>(last_.size()) ||
        (shared > 0 && std::memcmp(last_.data(), value.Data(), static_cast<std::size_t>(shared)) != 0)) {
        stored = length;
    }
    if (pages_.empty() || writePos_ + length + 3 > kPageBytes - 1) {
        pages_.push_back(std::make_unique<uint8_t[]>(kPageBytes));
        writePos_ = 0;
    }
    uint8_t* page = pages_.back().get();
    page[writePos_] = tag;
    page[writePos_ + 1] = static_cast<uint8_t>(length);
    page[writePos_ + 2] = static_cast<uint8_t>(stored);
    if (stored > 0) std::memcpy(page + writePos_ + 3, value.Data() + (length - stored), static_cast<std::size_t>(stored));
    writePos_ += 3 + stored;
    page[writePos_] = 0;  // the end mark always follows the last entry
    last_.assign(value.Data(), value.Data() + length);
}

bool TnvPageCollection::Rewind() {
    page_ = 0;
    position_ = 0;
    current_.SetLength(0);
    if (pages_.empty()) {
        position_ = -1;
        return false;
    }
    return ReadEntry();
}

bool TnvPageCollection::Next() {
    if (position_ < 0) return false;
    return ReadEntry();
}

bool TnvPageCollection::ReadEntry() {
    while (page_ < pages_.size()) {
        const uint8_t* page = pages_[page_].get();
        if (position_ + 3 <= kPageBytes && page[position_] != 0) {
            uint8_t tag = page[position_];
            int32_t length = page[position_ + 1];
            int32_t stored = page[position_ + 2];
            int32_t shared = length - stored;
            if (shared < 0 || shared > current_.Length() || position_ + 3 + stored > kPageBytes) break;
            // The shared leading bytes are already in place from the entry before.
            current_.SetLength(length);
            if (stored > 0) std::memcpy(current_.Data() + shared, page + position_ + 3, static_cast<std::size_t>(stored));
            uint8_t kind = TnvVariant::kBinary;
            if (tag == kTagCharacter) kind = TnvVariant::kCharacter;
            else if (tag == kTagNumeric) kind = TnvVariant::kNumeric;
            else if (tag == kTagDate) kind = TnvVariant::kDate;
            current_.SetKind(kind);
            currentTag_ = tag;
            position_ += 3 + stored;
            return true;
        }
        ++page_;
        position_ = 0;
    }
    position_ = -1;
    return false;
}

void TnvPageCollection::OfferMin(const TnvVariant*& best, TnvPageCollection*& owner) {
    if (position_ < 0) return;
    if (!best) {
        best = &current_;
        owner = this;
        return;
    }
    const uint8_t* table = sort_ ? sort_->CollationTable() : nullptr;
    int32_t position = 0;
    int c = current_.CompareLoose(best, position, table, 1);
    bool descending = sort_ && sort_->Descending();
    if ((!descending && c < 0) || (descending && c > 0)) {
        best = &current_;
        owner = this;
    }
}

// ---- helpers -------------------------------------------------------------------------

void ToOem(const char* source, char* dest, std::size_t n) {
    nvlocale::AnsiToOem(reinterpret_cast<const uint8_t*>(source), reinterpret_cast<uint8_t*>(dest), n);
}

void ToAnsi(const char* source, char* dest, std::size_t n) {
    nvlocale::OemToAnsi(reinterpret_cast<const uint8_t*>(source), reinterpret_cast<uint8_t*>(dest), n);
}

namespace {

std::size_t LastComponentStart(std::string_view path) {
    std::size_t slash = path.find_last_of("/\\");
    return slash == std::string_view::npos ? 0 : slash + 1;
}

}  // namespace

std::string DefaultExt(std::string_view name, std::string_view ext) {
    std::string_view last = name.substr(LastComponentStart(name));
    if (last.find('.') != std::string_view::npos) return std::string(name);
    return std::string(name) + std::string(ext);
}

std::string BaseName(std::string_view path) {
    std::string_view last = path.substr(LastComponentStart(path));
    std::size_t dot = last.find_last_of('.');
    if (dot != std::string_view::npos) last = last.substr(0, dot);
    return std::string(last);
}

void PadTo(char* buffer, char ch, std::size_t n) {
    std::size_t len = std::strlen(buffer);
    while (len < n) buffer[len++] = ch;
    buffer[len] = '\0';
}

namespace {

void AppendBase36(std::string& out, uint64_t value) {
    static const char kDigits[] = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ";
    do {
        out += kDigits[value % 36];
        value /= 36;
    } while (value != 0);
}

std::string g_lastUniqueName;

}  // namespace

std::string UniqueName() {
    for (int attempt = 0;; ++attempt) {
        nvlocale::LocalDateTime now = nvlocale::Now();
        uint64_t d = static_cast<uint64_t>(now.month * 100 + now.day + 10000);
        uint64_t t = static_cast<uint64_t>(now.hour + 10) * 1000000u + static_cast<uint64_t>(now.minute) * 10000u +
                     static_cast<uint64_t>(now.second) * 100u + static_cast<uint64_t>(now.millisecond);
        // A clock that does not move (a fixed test clock, a coarse timer) must not hang the
        // caller: after a few tries the attempt count moves the time part on.
        if (attempt >= 50) t += static_cast<uint64_t>(attempt - 49);
        std::string name(1, static_cast<char>('A' + d % 26));
        AppendBase36(name, d / 26);
        AppendBase36(name, t);
        if (name.substr(0, 8) != g_lastUniqueName) {
            g_lastUniqueName = name.substr(0, 8);
            return name;
        }
    }
}
