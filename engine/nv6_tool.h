// Small value types and helpers under the whole engine: `TnvVariant`, the tagged value that
// carries index keys, sort keys and expression results between layers and compares itself
// with another; `TnvHugeSet`, a paged bit set with one bit per record; `TnvPageCollection`,
// the prefix-compressed key store of the sort; and text and file-name helpers.
// None of them knows about tables or files. None is thread-safe.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

// ---- TnvVariant ----------------------------------------------------------------------

// An owned byte buffer with a kind. A value whose length is 0 counts as empty for every
// reading and comparison, whatever its kind. Copying copies the buffer (never shares it).
class TnvVariant {
public:
    enum : uint8_t { kEmpty = 0, kCharacter = 1, kNumeric = 2, kDate = 3, kLogical = 4, kBinary = 5 };

    // An empty value; with a capacity, that many bytes are allocated up front.
    explicit TnvVariant(int32_t capacity = 0);
    TnvVariant(const TnvVariant& other);
    TnvVariant& operator=(const TnvVariant& other);
    TnvVariant(TnvVariant&& other) noexcept;
    TnvVariant& operator=(TnvVariant&& other) noexcept;
    ~TnvVariant() = default;

    uint8_t Kind() const { return kind_; }
    int32_t Length() const { return length_; }
    int32_t Capacity() const { return capacity_; }
    const uint8_t* Data() const { return Bytes(); }
    uint8_t* Data() { return Bytes(); }
    // Changes the kind without touching the bytes.
    void SetKind(uint8_t kind) { kind_ = kind; }
    bool IsEmpty() const { return capacity_ == 0 || length_ == 0; }
    std::string_view View() const {
        return IsEmpty() ? std::string_view() : std::string_view(reinterpret_cast<const char*>(Bytes()), length_);
    }

    // Clears self, then copies the source's buffer (capacity bytes), capacity, length and
    // kind. Returns whether a source was given.
    bool Assign(const TnvVariant* source);
    // Frees the buffer: no data, capacity 0, length 0, kind 0.
    void Clear();
    // Sets the length; growing past the capacity reallocates, keeping the old bytes, and
    // resets the kind to empty (every writer sets it afterwards).
    void SetLength(int32_t n);
    void PutString(std::string_view text);
    void PutNumber(double value);
    void PutDate(int32_t day);
    void PutLogical(uint8_t value);
    void PutBinary(const void* bytes, int32_t n);
    // Appends n bytes (nothing when bytes is null or n is 0); the kind becomes binary.
    void AppendBinary(const void* bytes, int32_t n);
    // Reads as text, upper-cases it by the locale's rules, stores it back as character.
    void UpperCase();
    // Character values only: extends with blanks to n bytes; never shortens.
    void PadRight(int32_t n);
    // Character values only: drops trailing blanks.
    void TrimRight();

    bool AsLogical() const;
    int32_t AsDate() const;
    // Character text that is not a number raises EConvertError.
    double AsNumber() const;
    std::string AsString() const;
    // The text of AsString with a terminating 0, copied into `buffer` (which must hold it).
    char* AsPChar(char* buffer) const;

    // Three-way comparison: -1, 0, 1, or prefixResult when self is a proper prefix of a
    // character other. `position` receives the 1-based index of the first differing byte
    // (shorter length + 1 when all compared bytes are equal, 0 for the kind and emptiness
    // outcomes). `table` is an optional 256-entry collation for character values. `other`
    // may be null (result 1). Kinds that differ, neither binary: ENorvaneError "Variant
    // types mismatch for compare".
    int Compare(const TnvVariant* other, int32_t& position, const uint8_t* table, int prefixResult) const;
    int Compare(const TnvVariant& other, int32_t& position, const uint8_t* table = nullptr,
                int prefixResult = -1) const {
        return Compare(&other, position, table, prefixResult);
    }
    // As Compare, but a numeric self counts as binary for the kind check (the sort stores
    // numbers as byte-comparable images).
    int CompareLoose(const TnvVariant* other, int32_t& position, const uint8_t* table, int prefixResult) const;

private:
    int CompareAs(uint8_t kind, const TnvVariant& other, int32_t& position, const uint8_t* table,
                  int prefixResult) const;

    // Values up to kInline bytes (most keys and every number) live in the object itself:
    // index pages hold thousands of them, and a heap block each would cost more than the
    // bytes. Longer ones take a heap block of their capacity.
    static constexpr int32_t kInline = 32;
    const uint8_t* Bytes() const { return capacity_ == 0 ? nullptr : capacity_ <= kInline ? inline_ : heap_.get(); }
    uint8_t* Bytes() { return capacity_ == 0 ? nullptr : capacity_ <= kInline ? inline_ : heap_.get(); }

    std::unique_ptr<uint8_t[]> heap_;
    uint8_t inline_[kInline];
    int32_t capacity_ = 0;
    int32_t length_ = 0;
    uint8_t kind_ = kEmpty;
};

// ---- TnvHugeSet ----------------------------------------------------------------------

// A bit set over non-negative indexes (record numbers), in 16,384-byte pages of 131,072
// bits allocated, zero-filled, on the first change that touches them.
class TnvHugeSet {
public:
    static constexpr int32_t kPageBytes = 16384;
    static constexpr int32_t kPageBits = kPageBytes * 8;

    TnvHugeSet() = default;
    TnvHugeSet(const TnvHugeSet&) = delete;
    TnvHugeSet& operator=(const TnvHugeSet&) = delete;

    // Zero-fills every allocated page; Highest becomes -1.
    void ClearAll();
    // op 0 clears, 1 sets, 2 toggles the bit; any other op changes nothing. Pages up to the
    // index are allocated and Highest is raised to index in every case.
    // REQUIRES: index >= 0.
    void Change(int32_t index, int op);
    // False above Highest (and for negative indexes) without allocating anything.
    bool Test(int32_t index) const;
    // Highest index ever changed; -1 when none.
    int32_t Highest() const { return highest_; }
    // The lowest set bit at or above `from`, or -1; the highest set bit at or below `from`
    // (limited to Highest), or -1. Used to walk a filter without testing every bit.
    int32_t NextSet(int32_t from) const;
    int32_t PriorSet(int32_t from) const;

private:
    std::vector<std::unique_ptr<uint8_t[]>> pages_;
    int32_t highest_ = -1;
};

// ---- TnvPageCollection ---------------------------------------------------------------

// What a page collection needs to know of the sort that owns it.
class TnvSortOwner {
public:
    virtual ~TnvSortOwner() = default;
    // 256-entry collation for character keys, or nullptr for plain bytes.
    virtual const uint8_t* CollationTable() const = 0;
    virtual bool Descending() const = 0;
};

// One run of sorted keys, stored in 16,384-byte pages as entries that keep only the bytes
// that differ from the entry before: kind tag (16 binary, 32 character, 48 numeric, 64
// date; 0 ends a page), full length L (at most 255), stored count S, then the last S bytes.
class TnvPageCollection {
public:
    static constexpr int32_t kPageBytes = 16384;
    enum : uint8_t { kTagBinary = 16, kTagCharacter = 32, kTagNumeric = 48, kTagDate = 64 };

    explicit TnvPageCollection(const TnvSortOwner* sort);
    TnvPageCollection(const TnvPageCollection&) = delete;
    TnvPageCollection& operator=(const TnvPageCollection&) = delete;

    // Appends an entry for `value` (at most 255 bytes) keeping its last `stored` bytes.
    void Add(const TnvVariant& value, uint8_t tag, int32_t stored);
    // Rewinds to the first entry of the first page and reads it; false when empty.
    bool Rewind();
    // Reads the following entry into Current; false (and unpositioned) when exhausted.
    bool Next();
    bool Positioned() const { return position_ >= 0; }
    const TnvVariant& Current() const { return current_; }
    // The kind tag of the entry in Current.
    uint8_t CurrentTag() const { return currentTag_; }
    // The merge step: when positioned and Current sorts before `best` (after it for a
    // descending sort), or there is no best yet (`best` null), best and owner become
    // Current and this collection. Compares loosely with the sort's collation table and
    // prefix result 1; a numeric best counts as binary for the comparison.
    void OfferMin(const TnvVariant*& best, TnvPageCollection*& owner);

private:
    bool ReadEntry();

    const TnvSortOwner* sort_;
    std::vector<std::unique_ptr<uint8_t[]>> pages_;
    int32_t writePos_ = 0;  // next free byte of the last page
    std::vector<uint8_t> last_;  // the value of the entry written last
    TnvVariant current_{256};
    uint8_t currentTag_ = 0;
    int32_t position_ = -1;
    std::size_t page_ = 0;
};

// ---- Text and file-name helpers ------------------------------------------------------

// ANSI (code page 1252) to OEM (code page 437) and back, n bytes; dest may equal source.
void ToOem(const char* source, char* dest, std::size_t n);
void ToAnsi(const char* source, char* dest, std::size_t n);
// `name` unchanged when its last path component has an extension, else name + ext
// (ext includes the point, e.g. ".DBF").
std::string DefaultExt(std::string_view name, std::string_view ext);
// The file name part of `path` without its extension.
std::string BaseName(std::string_view path);
// Appends ch to the 0-terminated text in `buffer` until it has n characters.
// REQUIRES: buffer holds n + 1 bytes.
void PadTo(char* buffer, char ch, std::size_t n);
// A short name from the clock's month, day and time, never equal to the one returned just
// before. Main thread only.
std::string UniqueName();
