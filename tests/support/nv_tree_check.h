// The tests' own index checker: it reads an index file's bytes and walks every tag's tree
// itself, without the engine's page reader, so that a fault in that reader cannot hide a
// fault in the file. For each tag it lists the entries in tree order and reports what other
// programs of the family would misread: an interior page without a key, an empty leaf other
// than an empty root, leaves at unequal depths, a page reached twice, a key count outside
// what the page holds, a child outside the file, keys out of order, and (CDX) sibling links
// that do not follow the level.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "nv6_bytes.h"

namespace nvtest {

namespace treecheck {

// MDX numbers: exponent + 52, digit count and sign, then digits two to a byte.
inline double PackedValue(const uint8_t* p) {
    const int bytes = std::min((p[1] >> 3) & 0x0F, 10);
    double digits = 0;
    for (int i = 0; i < bytes; ++i) digits = digits * 100 + (p[2 + i] >> 4) * 10 + (p[2 + i] & 0x0F);
    double value = digits;
    int power = (p[0] - 52) - 2 * bytes;
    for (; power > 0; --power) value *= 10;
    for (; power < 0; ++power) value /= 10;
    return (p[1] & 0x80) ? -value : value;
}

}  // namespace treecheck

// One leaf entry: the key image as the page stores it, at the tag's key length with its
// padding (CDX keys are decoded back to full length), and the record number.
struct TreeEntry {
    std::string key;
    int32_t record = 0;
};

struct TreeReport {
    std::string tag;
    char format = 'D';      // 'D' NDX, 'M' MDX, 'T' NTX, 'X' CDX
    char keyType = 'C';     // 'N' and 'D' for number and date images
    bool descending = false;  // the tree itself is kept from the highest key down (MDX, NTX)
    int depth = -1;         // depth of the leaves (the root is at 0); -1 without leaves
    int pages = 0;
    std::vector<std::string> problems;
    std::vector<TreeEntry> entries;

    bool Ok() const { return problems.empty(); }
    std::string Problems() const {
        std::string out;
        for (const std::string& p : problems) out += tag + ": " + p + "\n";
        return out;
    }
    // A key image as text: character keys without their padding, numbers by value.
    std::string KeyText(const TreeEntry& e) const {
        if (keyType == 'C' || format == 'T') {
            std::string s = e.key;
            while (!s.empty() && (s.back() == ' ' || s.back() == '\0')) s.pop_back();
            return s;
        }
        double v;
        if (format == 'M' && keyType == 'N') {
            v = treecheck::PackedValue(reinterpret_cast<const uint8_t*>(e.key.data()));
        } else if (format == 'X') {
            uint64_t bits = nvbytes::LoadBE64(e.key.data());
            bits = (bits >> 63) ? (bits & ~(uint64_t{1} << 63)) : ~bits;
            std::memcpy(&v, &bits, 8);
        } else {
            v = nvbytes::LoadLEDouble(e.key.data());
        }
        std::ostringstream out;
        out.precision(17);
        out << v;
        return out.str();
    }
    std::vector<int32_t> Records() const {
        std::vector<int32_t> out;
        for (const TreeEntry& e : entries) out.push_back(e.record);
        return out;
    }
};

struct TreeFileReport {
    std::vector<std::string> problems;  // of the file itself (header, directory)
    std::vector<TreeReport> tags;

    bool Ok() const {
        if (!problems.empty()) return false;
        for (const TreeReport& t : tags)
            if (!t.Ok()) return false;
        return true;
    }
    std::string Problems() const {
        std::string out;
        for (const std::string& p : problems) out += p + "\n";
        for (const TreeReport& t : tags) out += t.Problems();
        return out;
    }
    const TreeReport* Tag(const std::string& name) const {
        for (const TreeReport& t : tags)
            if (t.tag == name) return &t;
        return nullptr;
    }
};

namespace treecheck {

inline std::vector<uint8_t> ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    std::vector<uint8_t> bytes(in ? static_cast<std::size_t>(in.tellg()) : 0);
    in.seekg(0);
    in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    bytes.resize(static_cast<std::size_t>(in.gcount()));
    return bytes;
}

// The walk shared by the formats: pages seen, the leaf depth, the problems (at most a few
// dozen, so that one broken file does not flood a test log).
class Walk {
public:
    Walk(const std::vector<uint8_t>& bytes, TreeReport& report) : bytes_(bytes), r_(report) {}

    void Problem(const std::string& text) {
        if (r_.problems.size() < 40) r_.problems.push_back(text);
    }
    // False (with a problem) when the page at byte `at` of `size` bytes is not in the file
    // or was reached before.
    bool Enter(int64_t at, int size, const std::string& what) {
        if (at <= 0 || at + size > static_cast<int64_t>(bytes_.size())) {
            Problem(what + " at " + std::to_string(at) + " lies outside the file");
            return false;
        }
        if (!seen_.insert(at).second) {
            Problem("page at " + std::to_string(at) + " is reached twice");
            return false;
        }
        ++r_.pages;
        return true;
    }
    void Leaf(int depth, int64_t at) {
        if (r_.depth < 0) r_.depth = depth;
        else if (r_.depth != depth && depthProblems_++ < 3)
            Problem("leaf at " + std::to_string(at) + " is at depth " + std::to_string(depth) + ", others at " +
                    std::to_string(r_.depth));
    }
    const uint8_t* At(int64_t at) const { return bytes_.data() + at; }

private:
    const std::vector<uint8_t>& bytes_;
    TreeReport& r_;
    std::set<int64_t> seen_;
    int depthProblems_ = 0;
};

// Key order of one tag: -1, 0, 1 as a comes before, with or after b in tree order.
struct KeyOrder {
    char type = 'C';
    char format = 'X';  // 'D' dBase III doubles, 'M' MDX packed numbers, 'B' bytes
    bool descending = false;
    double Number(const std::string& k) const {
        if (format == 'M' && type == 'N') return PackedValue(reinterpret_cast<const uint8_t*>(k.data()));
        return nvbytes::LoadLEDouble(k.data());
    }
    int operator()(const std::string& a, const std::string& b) const {
        int r;
        if (type != 'C' && format != 'B') {
            double x = Number(a), y = Number(b);
            r = x < y ? -1 : (x > y ? 1 : 0);
        } else {
            r = a.compare(b);
            r = r < 0 ? -1 : (r > 0 ? 1 : 0);
        }
        return descending ? -r : r;
    }
};

// After a subtree's entries [from, entries.size()) were listed: its keys must not pass the
// parent's key for it, nor come before the parent's previous key.
inline void CheckBounds(Walk& w, const TreeReport& r, const KeyOrder& order, std::size_t from, const std::string* low,
                        const std::string* high, int64_t page) {
    if (from >= r.entries.size()) return;
    if (high && order(r.entries.back().key, *high) > 0)
        w.Problem("page at " + std::to_string(page) + " holds keys above its parent's key");
    if (low && order(r.entries[from].key, *low) < 0)
        w.Problem("page at " + std::to_string(page) + " holds keys below its parent's previous key");
}

inline void CheckOrder(Walk& w, const TreeReport& r, const KeyOrder& order, bool recordOrdered) {
    int shown = 0;
    for (std::size_t i = 1; i < r.entries.size() && shown < 3; ++i) {
        int c = order(r.entries[i - 1].key, r.entries[i].key);
        if (c > 0 || (c == 0 && recordOrdered && r.entries[i - 1].record >= r.entries[i].record)) {
            w.Problem("entry " + std::to_string(i) + " (record " + std::to_string(r.entries[i].record) +
                      ") is out of order");
            ++shown;
        }
    }
}

// ---- NDX: 512-byte blocks, n keys and n + 1 children in an interior page ----

inline TreeReport Ndx(const std::vector<uint8_t>& b, const std::string& name) {
    TreeReport r;
    r.tag = name;
    r.format = 'D';
    Walk w(b, r);
    if (b.size() < 1024) {
        w.Problem("file too short for a header and a page");
        return r;
    }
    const int64_t root = nvbytes::LoadLE32(b.data());
    const int keyLength = nvbytes::LoadLE16(b.data() + 12);
    const int maxKeys = nvbytes::LoadLE16(b.data() + 14);
    const bool numbers = nvbytes::LoadLE16(b.data() + 16) == 1;
    const int entryLength = nvbytes::LoadLE16(b.data() + 18);
    r.keyType = numbers ? 'N' : 'C';
    if (keyLength < 1 || entryLength < keyLength + 8 || maxKeys < 1 || 4 + maxKeys * entryLength > 512) {
        w.Problem("header sizes cannot describe a page");
        return r;
    }
    if (nvbytes::LoadLE32(b.data() + 4) * int64_t{512} < static_cast<int64_t>(b.size()))
        w.Problem("header's block count is below the file's size");
    KeyOrder order{numbers ? 'N' : 'C', 'D', false};
    std::function<void(int64_t, int, const std::string*, const std::string*)> page;
    page = [&](int64_t block, int depth, const std::string* low, const std::string* high) {
        if (depth > 40 || !w.Enter(block * 512, 512, "page")) return;
        const uint8_t* p = w.At(block * 512);
        int n = nvbytes::LoadLE16(p);
        const bool leaf = nvbytes::LoadLE32(p + 4) == 0;
        if (n > maxKeys || 4 + (n + (leaf ? 0 : 1)) * entryLength > 512) {
            w.Problem("page " + std::to_string(block) + " holds " + std::to_string(n) + " keys, room for " +
                      std::to_string(maxKeys));
            n = std::min(n, (512 - 4) / entryLength - (leaf ? 0 : 1));
        }
        const std::size_t from = r.entries.size();
        if (leaf) {
            if (n == 0 && depth > 0) w.Problem("page " + std::to_string(block) + " is an empty leaf");
            w.Leaf(depth, block);
            for (int i = 0; i < n; ++i) {
                const uint8_t* e = p + 4 + i * entryLength;
                r.entries.push_back({std::string(reinterpret_cast<const char*>(e + 8), numbers ? 8 : keyLength),
                                     static_cast<int32_t>(nvbytes::LoadLE32(e + 4))});
            }
        } else {
            if (n == 0) w.Problem("page " + std::to_string(block) + " is an interior page without a key");
            std::string previous;
            for (int i = 0; i <= n; ++i) {
                const uint8_t* e = p + 4 + i * entryLength;
                std::string key(reinterpret_cast<const char*>(e + 8), numbers ? 8 : keyLength);
                page(nvbytes::LoadLE32(e), depth + 1, i ? &previous : low, i < n ? &key : high);
                previous = key;
            }
        }
        CheckBounds(w, r, order, from, low, high, block);
    };
    if (root < 1) w.Problem("root block " + std::to_string(root) + " is not a page");
    else page(root, 0, nullptr, nullptr);
    CheckOrder(w, r, order, false);
    return r;
}

// ---- MDX: one tag header per tag behind the directory; n keys, n + 1 children ----

inline void MdxTag(const std::vector<uint8_t>& b, int64_t header, int pageSize, TreeReport& r) {
    r.format = 'M';
    Walk w(b, r);
    if (header * 512 + pageSize > static_cast<int64_t>(b.size())) {
        w.Problem("tag header outside the file");
        return;
    }
    const uint8_t* h = b.data() + header * 512;
    const int64_t root = nvbytes::LoadLE32(h);
    r.keyType = static_cast<char>(h[9]);
    r.descending = (h[8] & 0x08) != 0;
    const int keyLength = nvbytes::LoadLE16(h + 12);
    const int maxKeys = nvbytes::LoadLE16(h + 14);
    const int entryLength = nvbytes::LoadLE16(h + 18);
    if (keyLength < 1 || entryLength < keyLength + 4 || maxKeys < 1 || 8 + (maxKeys + 1) * entryLength > pageSize) {
        w.Problem("header sizes cannot describe a page");
        return;
    }
    KeyOrder order{r.keyType, 'M', r.descending};
    std::function<void(int64_t, int, const std::string*, const std::string*)> page;
    page = [&](int64_t block, int depth, const std::string* low, const std::string* high) {
        if (depth > 40 || !w.Enter(block * 512, pageSize, "page")) return;
        const uint8_t* p = w.At(block * 512);
        int64_t n = nvbytes::LoadLE32(p);
        if (n > maxKeys) {
            w.Problem("page " + std::to_string(block) + " holds " + std::to_string(n) + " keys, room for " +
                      std::to_string(maxKeys));
            n = maxKeys;
        }
        const bool leaf = nvbytes::LoadLE32(p + 8 + n * entryLength) == 0;
        const std::size_t from = r.entries.size();
        if (leaf) {
            if (n == 0 && depth > 0) w.Problem("page " + std::to_string(block) + " is an empty leaf");
            w.Leaf(depth, block);
            for (int i = 0; i < n; ++i) {
                const uint8_t* e = p + 8 + i * entryLength;
                r.entries.push_back({std::string(reinterpret_cast<const char*>(e + 4), static_cast<std::size_t>(keyLength)),
                                     static_cast<int32_t>(nvbytes::LoadLE32(e))});
            }
        } else {
            if (n == 0) w.Problem("page " + std::to_string(block) + " is an interior page without a key");
            std::string previous;
            for (int i = 0; i <= n; ++i) {
                const uint8_t* e = p + 8 + i * entryLength;
                std::string key(reinterpret_cast<const char*>(e + 4), static_cast<std::size_t>(keyLength));
                page(nvbytes::LoadLE32(e), depth + 1, i ? &previous : low, i < n ? &key : high);
                previous = key;
            }
        }
        CheckBounds(w, r, order, from, low, high, block);
    };
    page(root, 0, nullptr, nullptr);
    CheckOrder(w, r, order, false);
}

inline TreeFileReport Mdx(const std::vector<uint8_t>& b) {
    TreeFileReport f;
    if (b.size() < 2048) {
        f.problems.push_back("file too short for its header");
        return f;
    }
    const int pageSize = nvbytes::LoadLE16(b.data() + 22);
    const int count = nvbytes::LoadLE16(b.data() + 28);
    if (pageSize < 512 || pageSize % 512 != 0 || count > 48) {
        f.problems.push_back("file header cannot be right");
        return f;
    }
    for (int k = 1; k <= count; ++k) {
        const uint8_t* e = b.data() + 512 + 32 * k;
        TreeReport r;
        r.tag = std::string(reinterpret_cast<const char*>(e + 4), strnlen(reinterpret_cast<const char*>(e + 4), 11));
        MdxTag(b, nvbytes::LoadLE32(e), pageSize, r);
        f.tags.push_back(std::move(r));
    }
    return f;
}

// ---- NTX: a B-tree; real keys in interior pages between their children ----

inline TreeReport Ntx(const std::vector<uint8_t>& b, const std::string& name) {
    TreeReport r;
    r.tag = name;
    r.format = 'T';
    Walk w(b, r);
    if (b.size() < 2048) {
        w.Problem("file too short for a header and a page");
        return r;
    }
    const int64_t root = nvbytes::LoadLE32(b.data() + 4);
    const int entryLength = nvbytes::LoadLE16(b.data() + 12);
    const int keyLength = nvbytes::LoadLE16(b.data() + 14);
    const int maxItems = nvbytes::LoadLE16(b.data() + 18);
    r.descending = b[279] != 0 || b[280] != 0;
    if (keyLength < 1 || entryLength != keyLength + 8 || maxItems < 2 || (maxItems + 1) * (entryLength + 2) + 2 > 1024) {
        w.Problem("header sizes cannot describe a page");
        return r;
    }
    KeyOrder order{'C', 'B', r.descending};
    std::function<void(int64_t, int)> page;
    page = [&](int64_t at, int depth) {
        if (at % 1024 != 0 || depth > 40 || !w.Enter(at, 1024, "page")) return;
        const uint8_t* p = w.At(at);
        int n = nvbytes::LoadLE16(p);
        if (n > maxItems) {
            w.Problem("page at " + std::to_string(at) + " holds " + std::to_string(n) + " keys, room for " +
                      std::to_string(maxItems));
            n = maxItems;
        }
        auto entry = [&](int slot) -> const uint8_t* {
            const int offset = nvbytes::LoadLE16(p + 2 * slot);
            if (offset < 2 || offset + entryLength > 1024) return nullptr;
            return p + offset;
        };
        for (int slot = 1; slot <= n + 1; ++slot)
            if (!entry(slot)) {
                w.Problem("page at " + std::to_string(at) + " has an entry offset outside the page");
                return;
            }
        const bool leaf = nvbytes::LoadLE32(entry(1)) == 0;
        if (leaf) {
            if (n == 0 && depth > 0) w.Problem("page at " + std::to_string(at) + " is an empty leaf");
            w.Leaf(depth, at);
        } else if (n == 0) {
            w.Problem("page at " + std::to_string(at) + " is an interior page without a key");
        }
        for (int slot = 1; slot <= n + 1; ++slot) {
            const uint8_t* e = entry(slot);
            if (!leaf) {
                if (nvbytes::LoadLE32(e) == 0) w.Problem("page at " + std::to_string(at) + " misses a child");
                else page(nvbytes::LoadLE32(e), depth + 1);
            }
            if (slot <= n)
                r.entries.push_back({std::string(reinterpret_cast<const char*>(e + 8), static_cast<std::size_t>(keyLength)),
                                     static_cast<int32_t>(nvbytes::LoadLE32(e + 4))});
        }
    };
    page(root, 0);
    CheckOrder(w, r, order, false);
    return r;
}

// ---- CDX: 512-byte nodes, compressed leaves, sibling links per level ----

struct CdxNode {
    int64_t address;
    int64_t left, right;
};

inline void CdxTree(const std::vector<uint8_t>& b, int64_t header, bool numbers, TreeReport& r) {
    r.format = 'X';
    Walk w(b, r);
    if (header % 512 != 0 || header + 1024 > static_cast<int64_t>(b.size())) {
        w.Problem("tag header outside the file");
        return;
    }
    const uint8_t* h = b.data() + header;
    const int64_t root = nvbytes::LoadLE32(h);
    const int keyLength = nvbytes::LoadLE16(h + 12);
    const bool general = std::memcmp(h + 494, "GENERAL", 7) == 0;
    r.keyType = numbers ? 'N' : 'C';
    if (keyLength < 1 || keyLength > 240) {
        w.Problem("key length " + std::to_string(keyLength) + " cannot be right");
        return;
    }
    const char pad = (!numbers && !general) ? ' ' : '\0';
    const int maxInterior = 500 / (keyLength + 8);
    KeyOrder order{'C', 'B', false};
    std::vector<std::vector<CdxNode>> levels;
    std::function<void(int64_t, int, const std::string*, const std::string*)> node;
    // Entries carry (key, record) in CDX order: equal keys by record number.
    node = [&](int64_t at, int depth, const std::string* low, const std::string* high) {
        if (at % 512 != 0 || depth > 40 || !w.Enter(at, 512, "node")) return;
        const uint8_t* p = w.At(at);
        const int attributes = nvbytes::LoadLE16(p);
        const int n = nvbytes::LoadLE16(p + 2);
        if (levels.size() <= static_cast<std::size_t>(depth)) levels.resize(static_cast<std::size_t>(depth) + 1);
        levels[static_cast<std::size_t>(depth)].push_back(
            {at, static_cast<int32_t>(nvbytes::LoadLE32(p + 4)), static_cast<int32_t>(nvbytes::LoadLE32(p + 8))});
        if (attributes > 3) {
            w.Problem("node at " + std::to_string(at) + " has attributes " + std::to_string(attributes));
            return;
        }
        if (((attributes & 1) != 0) != (depth == 0))
            w.Problem("node at " + std::to_string(at) + (depth == 0 ? " is the root without" : " has") + " the root bit");
        const std::size_t from = r.entries.size();
        if (attributes >= 2) {
            if (n == 0 && depth > 0) w.Problem("node at " + std::to_string(at) + " is an empty leaf");
            w.Leaf(depth, at);
            const uint32_t recordMask = nvbytes::LoadLE32(p + 14);
            const int R = p[20], D = p[21], B = p[23];
            const uint8_t dupMask = p[18], trailMask = p[19];
            if (B < 2 || B > 8 || 24 + n * B > 512) {
                w.Problem("leaf at " + std::to_string(at) + " holds " + std::to_string(n) + " entries of " +
                          std::to_string(B) + " bytes");
                return;
            }
            std::string key(static_cast<std::size_t>(keyLength), pad);
            int position = 512;
            for (int i = 0; i < n; ++i) {
                uint64_t info = 0;
                for (int k = B - 1; k >= 0; --k) info = (info << 8) | p[24 + i * B + k];
                const int dup = static_cast<int>((info >> R) & dupMask);
                const int trail = static_cast<int>((info >> (R + D)) & trailMask);
                const int stored = keyLength - dup - trail;
                position -= stored;
                if (stored < 0 || position < 24 + n * B) {
                    w.Problem("leaf at " + std::to_string(at) + " has entries that overrun its key area");
                    return;
                }
                std::memcpy(key.data() + dup, p + position, static_cast<std::size_t>(stored));
                std::fill(key.begin() + keyLength - trail, key.end(), pad);
                std::string full = key;
                if (general)
                    for (int k = keyLength - trail - 1; k >= 1 && static_cast<uint8_t>(full[k]) <= 0x0F; --k)
                        full[k] = static_cast<char>(full[k] | 0xF0);
                r.entries.push_back({full, static_cast<int32_t>(info & recordMask)});
            }
            if (nvbytes::LoadLE16(p + 12) != position - (24 + n * B))
                w.Problem("leaf at " + std::to_string(at) + " gives the wrong free space");
        } else {
            if (n == 0) w.Problem("node at " + std::to_string(at) + " is an interior node without a key");
            if (n > maxInterior)
                w.Problem("node at " + std::to_string(at) + " holds " + std::to_string(n) + " keys, room for " +
                          std::to_string(maxInterior));
            const int count = std::min(n, maxInterior);
            std::string previous;
            for (int i = 0; i < count; ++i) {
                const uint8_t* e = p + 12 + i * (keyLength + 8);
                std::string key(reinterpret_cast<const char*>(e), static_cast<std::size_t>(keyLength));
                if (general)
                    for (int k = keyLength - 1; k >= 1 && static_cast<uint8_t>(key[k]) <= 0x0F && key[k] != 0; --k)
                        key[k] = static_cast<char>(key[k] | 0xF0);
                const std::size_t start = r.entries.size();
                node(nvbytes::LoadBE32(e + keyLength + 4), depth + 1, i ? &previous : low, &key);
                if (start < r.entries.size() && order(r.entries.back().key, key) == 0 &&
                    r.entries.back().record > static_cast<int32_t>(nvbytes::LoadBE32(e + keyLength)))
                    w.Problem("node at " + std::to_string(at) + " gives a record below its child's last");
                previous = key;
            }
        }
        CheckBounds(w, r, order, from, low, high, at);
    };
    if (root <= 0) {
        w.Problem("root " + std::to_string(root) + " is not a node");
        return;
    }
    node(root, 0, nullptr, nullptr);
    CheckOrder(w, r, order, true);
    for (std::size_t d = 0; d < levels.size(); ++d) {
        const std::vector<CdxNode>& level = levels[d];
        for (std::size_t i = 0; i < level.size(); ++i) {
            const int64_t left = i ? level[i - 1].address : -1;
            const int64_t right = i + 1 < level.size() ? level[i + 1].address : -1;
            if (level[i].left != left || level[i].right != right) {
                w.Problem("node at " + std::to_string(level[i].address) + " has sibling links " +
                          std::to_string(level[i].left) + "/" + std::to_string(level[i].right) + ", the level says " +
                          std::to_string(left) + "/" + std::to_string(right));
                break;
            }
        }
    }
}

// `numericTags`: names of tags whose keys are number or date images (the file does not say).
inline TreeFileReport Cdx(const std::vector<uint8_t>& b, const std::set<std::string>& numericTags) {
    TreeFileReport f;
    if (b.size() < 1536) {
        f.problems.push_back("file too short for its directory");
        return f;
    }
    TreeReport directory;
    directory.tag = "(directory)";
    CdxTree(b, 0, false, directory);
    for (const std::string& p : directory.problems) f.problems.push_back("directory: " + p);
    for (const TreeEntry& e : directory.entries) {
        TreeReport r;
        std::string name = e.key;
        while (!name.empty() && (name.back() == ' ' || name.back() == '\0')) name.pop_back();
        r.tag = name;
        CdxTree(b, e.record, numericTags.count(name) != 0, r);
        f.tags.push_back(std::move(r));
    }
    return f;
}

inline std::string Extension(const std::string& path) {
    std::size_t dot = path.find_last_of('.');
    std::string ext = dot == std::string::npos ? std::string() : path.substr(dot + 1);
    for (char& c : ext) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
    return ext;
}

inline std::string BaseTagName(const std::string& path) {
    std::size_t slash = path.find_last_of('/');
    std::string name = path.substr(slash == std::string::npos ? 0 : slash + 1);
    name = name.substr(0, name.find_last_of('.'));
    for (char& c : name) c = static_cast<char>(c >= 'a' && c <= 'z' ? c - 32 : c);
    return name.substr(0, 10);
}

}  // namespace treecheck

// Every tag of the index file `path` (the format by its extension), walked from its bytes.
inline TreeFileReport CheckIndexTrees(const std::string& path, const std::set<std::string>& numericCdxTags = {}) {
    const std::vector<uint8_t> bytes = treecheck::ReadFile(path);
    const std::string ext = treecheck::Extension(path);
    TreeFileReport f;
    if (ext == "cdx") return treecheck::Cdx(bytes, numericCdxTags);
    if (ext == "mdx") return treecheck::Mdx(bytes);
    if (ext == "ntx") f.tags.push_back(treecheck::Ntx(bytes, treecheck::BaseTagName(path)));
    else f.tags.push_back(treecheck::Ndx(bytes, treecheck::BaseTagName(path)));
    return f;
}

}  // namespace nvtest
