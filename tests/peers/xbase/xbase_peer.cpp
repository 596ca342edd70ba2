// Test peer for the single-index interchange suite: drives the xBase library libxbase64 on
// a table and its NDX/NTX files from a small script, so that the tests can see the files our
// engine writes through another implementation's eyes and hand it files to build.
//
// Usage: pelmora_xbase_peer SCRIPT. One command per line, words separated by tabs; a word
// may carry bytes as \xNN (code page 437 text), "\t" and "\\" as themselves.
//   open DBF                      opens the table
//   index PATH                    opens an existing index; later writes maintain it
//   create PATH EXPR UNIQUE       creates an index (UNIQUE 0/1), fills it from the table
//   append FIELD=VALUE ...        appends a blank record with those fields set
//   put RECNO FIELD=VALUE ...     rewrites fields of a record
//   delete RECNO                  marks a record deleted
//   walk PATH                     prints "walk PATH TYPE" and then one line per key in
//                                 index order: "K<TAB>key<TAB>record"
// Character keys print with trailing blanks removed and bytes outside 0x21..0x7E as \xNN;
// numeric keys as the stored double with 17 significant digits. Any library error ends the
// run with "error ..." on stderr and exit status 2. NDX nodes are read as 512-byte blocks;
// PELMORA_XBASE_NODE_SIZE_FROM_HEADER set in the environment lets the library size them its
// own way, to see its unaided reading of a file.
#include <xbase64/xbase64.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

// The library's byte readers build a 64-bit long from four bytes and leave the upper half
// undefined on LP64 machines (a header read gives root 0x7ffc00000023 for block 0x23), so it
// cannot walk even the files it wrote itself. These definitions take the place of its own
// (the executable's symbols win over the shared library's): four little-endian bytes,
// sign- or zero-extended.
xbLong xbXBase::GetLong(const char* p) {
    return static_cast<int32_t>(GetULong(p));
}

xbULong xbXBase::GetULong(const char* p) {
    const auto* b = reinterpret_cast<const unsigned char*>(p);
    return static_cast<uint32_t>(b[0]) | static_cast<uint32_t>(b[1]) << 8 | static_cast<uint32_t>(b[2]) << 16 |
           static_cast<uint32_t>(b[3]) << 24;
}

namespace {

// The library keeps a tag's key type and length in protected members; the walk needs them to
// print a key.
class PeerNdx : public xbNdx {
public:
    explicit PeerNdx(xbDbf* d) : xbNdx(d) {}
    // The library sizes its nodes from the header's keys per page: when (keys + 1) entries
    // and the count do not fit in 512 bytes it reads 1,024-byte nodes. A 512-byte block holds
    // a full leaf and, one key fewer, a full interior page, so a header may state the leaf
    // capacity; NDX blocks are 512 bytes whatever the header says.
    xbShort GetHeadNode() override {
        xbShort rc = xbNdx::GetHeadNode();
        if (NodeSize != 512 && std::getenv("PELMORA_XBASE_NODE_SIZE_FROM_HEADER") == nullptr) NodeSize = 512;
        return rc;
    }
    bool Numeric() const { return HeadNode.KeyType != 0; }
    int KeyLength() { return GetKeyLen(); }
    // The key bytes of the current entry as the node holds them (GetCurrentKey gives zeros
    // for date tags).
    const char* StoredKey() { return CurNode ? GetKeyData(static_cast<xbShort>(CurNode->CurKeyNo), CurNode) : nullptr; }
};

class PeerNtx : public xbNtx {
public:
    explicit PeerNtx(xbDbf* d) : xbNtx(d) {}
    // The library writes the NTX header in the format's layout but reads it back stepping
    // over the 4-byte root offset by the size of a long: on LP64 machines every field after
    // it is read 4 bytes late (key length 16718, "NA" of the expression), so it cannot walk
    // even the files it builds, and its build over a table with records crashes. The library
    // does the rest of its opening; the header fields are then read again at their offsets.
    xbShort GetHeadNode() override {
        xbShort rc = xbNtx::GetHeadNode();
        if (rc != XB_NO_ERROR) return rc;
        unsigned char h[282];
        long at = std::ftell(indexfp);
        if (std::fseek(indexfp, 0, SEEK_SET) != 0 || std::fread(h, 1, sizeof h, indexfp) != sizeof h) return XB_READ_ERROR;
        std::fseek(indexfp, at, SEEK_SET);
        auto u16 = [&](int o) { return static_cast<xbUShort>(h[o] | h[o + 1] << 8); };
        HeadNode.Signature = u16(0);
        HeadNode.Version = u16(2);
        HeadNode.StartNode = static_cast<xbLong>(u16(4) | static_cast<uint32_t>(u16(6)) << 16);
        HeadNode.UnusedOffset = static_cast<xbULong>(u16(8) | static_cast<uint32_t>(u16(10)) << 16);
        HeadNode.KeySize = u16(12);
        HeadNode.KeyLen = u16(14);
        HeadNode.DecimalCount = u16(16);
        HeadNode.KeysPerNode = u16(18);
        HeadNode.HalfKeysPerNode = u16(20);
        std::memcpy(HeadNode.KeyExpression, h + 22, sizeof HeadNode.KeyExpression);
        HeadNode.KeyExpression[sizeof HeadNode.KeyExpression - 1] = 0;
        HeadNode.Unique = h[278] & 1;
        return XB_NO_ERROR;
    }
    int KeyLength() { return GetKeyLen(); }

    // The library's own walk (GetFirstKey/GetNextKey) visits leaf entries only and skips the
    // keys an NTX interior page holds, although those are real entries of the B-tree: over an
    // 800-record table its walk of the tag it has just built lists 775 keys, the 25 of its
    // root missing. So the walk descends the tree itself, through the library's page reader
    // (offset table, child offsets, record numbers and keys as the library reads them), in
    // order: each entry's left subtree, the entry, and after the last entry the right-most
    // child. `pages` bounds the walk on a cyclic tree.
    struct Item {
        std::string key;
        xbLong record;
    };
    xbShort Walk(std::vector<Item>& out) { return WalkPage(HeadNode.StartNode, out, 0); }

private:
    xbShort WalkPage(xbLong page, std::vector<Item>& out, int depth) {
        if (depth > 32) return XB_INVALID_NODELINK;
        xbShort rc = GetLeafNode(page, 1);
        if (rc != XB_NO_ERROR) return rc;
        xbNodeLink* node = CurNode;
        int count = node->Leaf.NoOfKeysThisNode;
        std::vector<xbLong> children;
        std::vector<Item> items;
        for (int i = 0; i <= count; ++i) children.push_back(GetLeftNodeNo(static_cast<xbShort>(i), node));
        for (int i = 0; i < count; ++i)
            items.push_back({std::string(GetKeyData(static_cast<xbShort>(i), node), GetKeyLen()),
                             GetDbfNo(static_cast<xbShort>(i), node)});
        // Off the library's chain again before the library frees it.
        CurNode = node->PrevNode;
        if (CurNode)
            CurNode->NextNode = nullptr;
        else
            NodeChain = nullptr;
        ReleaseNodeMemory(node, true);
        bool leaf = children[0] == 0;
        for (int i = 0; i <= count; ++i) {
            if (!leaf && (rc = WalkPage(children[static_cast<std::size_t>(i)], out, depth + 1)) != XB_NO_ERROR) return rc;
            if (i < count) out.push_back(items[static_cast<std::size_t>(i)]);
        }
        return XB_NO_ERROR;
    }
};

struct OpenIndex {
    std::string path;
    std::unique_ptr<xbIndex> index;
    bool numeric = false;
    int keyLength = 0;
};

[[noreturn]] void Fail(const std::string& what, xbShort rc) {
    std::fflush(stdout);
    std::fprintf(stderr, "error %s: %d %s\n", what.c_str(), rc, xbXBase::GetErrorMessage(rc));
    std::exit(2);
}

void Check(xbShort rc, const std::string& what) {
    if (rc != XB_NO_ERROR) Fail(what, rc);
}

std::string Decode(const std::string& w) {
    std::string out;
    for (std::size_t i = 0; i < w.size(); ++i) {
        if (w[i] == '\\' && i + 3 < w.size() && w[i + 1] == 'x') {
            out += static_cast<char>(std::strtol(w.substr(i + 2, 2).c_str(), nullptr, 16));
            i += 3;
        } else if (w[i] == '\\' && i + 1 < w.size()) {
            char c = w[++i];
            out += c == 't' ? '\t' : c;
        } else {
            out += w[i];
        }
    }
    return out;
}

std::string Printable(const char* key, int length) {
    std::string s(key, static_cast<std::size_t>(length));
    while (!s.empty() && (s.back() == ' ' || s.back() == '\0')) s.pop_back();
    std::string out;
    for (unsigned char c : s) {
        if (c > 0x20 && c < 0x7F && c != '\\') {
            out += static_cast<char>(c);
        } else {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\x%02X", c);
            out += buf;
        }
    }
    return out;
}

bool EndsWithNtx(const std::string& path) {
    if (path.size() < 4) return false;
    std::string ext = path.substr(path.size() - 4);
    for (char& c : ext) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return ext == ".ntx";
}

OpenIndex MakeIndex(xbDbf& dbf, const std::string& path) {
    OpenIndex ix;
    ix.path = path;
    if (EndsWithNtx(path))
        ix.index = std::make_unique<PeerNtx>(&dbf);
    else
        ix.index = std::make_unique<PeerNdx>(&dbf);
    return ix;
}

void Describe(OpenIndex& ix) {
    if (auto* n = dynamic_cast<PeerNdx*>(ix.index.get())) {
        ix.numeric = n->Numeric();
        ix.keyLength = n->KeyLength();
    } else {
        ix.keyLength = static_cast<PeerNtx*>(ix.index.get())->KeyLength();
    }
}

void SetFields(xbDbf& dbf, const std::vector<std::string>& words, std::size_t from) {
    for (std::size_t i = from; i < words.size(); ++i) {
        std::size_t eq = words[i].find('=');
        if (eq == std::string::npos) Fail("bad assignment " + words[i], XB_INVALID_DATA);
        std::string name = words[i].substr(0, eq);
        std::string value = Decode(words[i].substr(eq + 1));
        xbShort no = dbf.GetFieldNo(name.c_str());
        if (no < 0) Fail("no field " + name, XB_INVALID_FIELD);
        // A blank date is valid in a table, but the library's date check refuses it.
        if (dbf.GetFieldType(no) == 'D' && value.find_first_not_of(' ') == std::string::npos)
            Check(dbf.PutRawField(no, std::string(8, ' ').c_str()), "put field " + name);
        else
            Check(dbf.PutField(no, value.c_str()), "put field " + name);
    }
}

void Walk(xbDbf& dbf, OpenIndex& ix) {
    std::printf("walk %s %c\n", ix.path.c_str(), ix.numeric ? 'N' : 'C');
    if (auto* ntx = dynamic_cast<PeerNtx*>(ix.index.get())) {
        std::vector<PeerNtx::Item> items;
        Check(ntx->Walk(items), "walk " + ix.path);
        for (const auto& item : items)
            std::printf("K\t%s\t%ld\n", Printable(item.key.data(), ix.keyLength).c_str(), static_cast<long>(item.record));
        return;
    }
    std::vector<char> key(static_cast<std::size_t>(ix.keyLength) + 16, 0);
    long guard = dbf.PhysicalNoOfRecords() + 2;
    for (xbShort rc = ix.index->GetFirstKey(); rc != XB_EOF; rc = ix.index->GetNextKey()) {
        Check(rc, "walk " + ix.path);
        if (guard-- < 0) Fail("walk does not end in " + ix.path, XB_INVALID_NODELINK);
        std::fill(key.begin(), key.end(), 0);
        const char* stored = static_cast<PeerNdx*>(ix.index.get())->StoredKey();
        if (!stored) Fail("no current node in " + ix.path, XB_INVALID_NODELINK);
        std::memcpy(key.data(), stored, static_cast<std::size_t>(ix.keyLength));
        std::string text;
        if (ix.numeric) {
            char buf[40];
            std::snprintf(buf, sizeof buf, "%.17g", dbf.xbase->GetDouble(key.data()));
            text = buf;
        } else {
            text = Printable(key.data(), ix.keyLength);
        }
        std::printf("K\t%s\t%lu\n", text.c_str(), static_cast<unsigned long>(ix.index->GetCurDbfRec()));
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s SCRIPT\n", argv[0]);
        return 1;
    }
    std::ifstream script(argv[1]);
    if (!script) {
        std::fprintf(stderr, "cannot read %s\n", argv[1]);
        return 1;
    }
    xbXBase base;
    xbDbf dbf(&base);
    bool open = false;
    std::vector<OpenIndex> indexes;
    auto find = [&](const std::string& path) -> OpenIndex& {
        for (auto& ix : indexes)
            if (ix.path == path) return ix;
        Fail("index not open " + path, XB_NOT_OPEN);
    };
    std::string line;
    while (std::getline(script, line)) {
        if (line.empty()) continue;
        std::vector<std::string> w;
        std::stringstream in(line);
        for (std::string word; std::getline(in, word, '\t');) w.push_back(word);
        const std::string& cmd = w[0];
        if (cmd != "open" && !open) Fail("no table open for " + cmd, XB_NOT_OPEN);
        if (cmd == "open" && w.size() == 2) {
            Check(dbf.OpenDatabase(w[1].c_str()), "open " + w[1]);
            open = true;
        } else if (cmd == "index" && w.size() == 2) {
            OpenIndex ix = MakeIndex(dbf, w[1]);
            Check(ix.index->OpenIndex(w[1].c_str()), "open index " + w[1]);
            Describe(ix);
            indexes.push_back(std::move(ix));
        } else if (cmd == "create" && w.size() == 4) {
            OpenIndex ix = MakeIndex(dbf, w[1]);
            Check(ix.index->CreateIndex(w[1].c_str(), Decode(w[2]).c_str(), static_cast<xbShort>(std::atoi(w[3].c_str())), 1),
                  "create index " + w[1]);
            Check(ix.index->ReIndex(), "reindex " + w[1]);
            Describe(ix);
            indexes.push_back(std::move(ix));
        } else if (cmd == "append") {
            Check(dbf.BlankRecord(), "blank record");
            SetFields(dbf, w, 1);
            Check(dbf.AppendRecord(), "append");
        } else if (cmd == "put" && w.size() >= 2) {
            auto rec = static_cast<xbULong>(std::atol(w[1].c_str()));
            Check(dbf.GetRecord(rec), "read record " + w[1]);
            SetFields(dbf, w, 2);
            Check(dbf.PutRecord(rec), "write record " + w[1]);
        } else if (cmd == "delete" && w.size() == 2) {
            Check(dbf.GetRecord(static_cast<xbULong>(std::atol(w[1].c_str()))), "read record " + w[1]);
            Check(dbf.DeleteRecord(), "delete record " + w[1]);
        } else if (cmd == "walk" && w.size() == 2) {
            Walk(dbf, find(w[1]));
        } else {
            Fail("bad command line: " + line, XB_INVALID_OPTION);
        }
    }
    for (auto& ix : indexes) ix.index->CloseIndex();
    if (open) dbf.CloseDatabase();
    std::fflush(stdout);
    return 0;
}
