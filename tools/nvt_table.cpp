#include "nvt_table.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>

#include "nv6_date.h"
#include "nv6_disk.h"
#include "nv6_dbex.h"
#include "nv6_glbl.h"
#include "nv6_ixop.h"
#include "nv6_lcal.h"
#include "nv6_memo.h"
#include "nvt_args.h"
#include "nvt_files.h"

namespace fs = std::filesystem;

namespace {

std::string Absolute(const std::string& path) {
    std::error_code ec;
    fs::path p = fs::absolute(fs::path(path), ec);
    return ec ? path : p.lexically_normal().string();
}

std::string Upper(std::string_view text) {
    std::string s(text);
    for (char& c : s)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    return s;
}

bool SameFile(const std::string& a, const std::string& b) {
    std::error_code ec;
    if (fs::equivalent(a, b, ec)) return true;
    return Absolute(a) == Absolute(b);
}

std::string TrimRight(std::string s) {
    while (!s.empty() && s.back() == ' ') s.pop_back();
    return s;
}

std::ostream* g_progress = nullptr;

// The cursor of a command: its status reports become one progress line per phase on
// stderr, rewritten in place about a hundred times, ended when the phase ends.
class ProgressCursor : public NVO_dBHandler {
public:
    using NVO_dBHandler::NVO_dBHandler;

    void StatusUpdate(int32_t stat1, int32_t stat2, int32_t stat3) override {
        NVO_dBHandler::StatusUpdate(stat1, stat2, stat3);
        if (!g_progress) return;
        std::ostream& err = *g_progress;
        if (stat1 == -1) {
            phase_ = stat2;
            total_ = stat3;
            shown_ = -1;
            Show(0);
        } else if (stat1 == 0) {
            if (phase_ != 0) err << "\n" << std::flush;
            phase_ = 0;
        } else if (stat1 == phase_) {
            Show(stat2);
        }
    }

private:
    void Show(int32_t n) {
        int32_t step = total_ > 100 ? total_ / 100 : 1;
        if (n != total_ && shown_ >= 0 && n - shown_ < step) return;
        shown_ = n;
        *g_progress << "\r" << (phase_ == 2 ? "writing keys" : "reading records") << ": " << n << "/" << total_
                    << std::flush;
    }

    int32_t phase_ = 0;
    int32_t total_ = 0;
    int32_t shown_ = -1;
};

// Runs `open` again while it fails because another program holds the file it opens, for
// up to `waitMs`; a file refused for another reason is refused in words.
void OpenWaiting(const std::function<void()>& open, int waitMs, bool write) {
    int waited = 0;
    int vanished = 0;
    for (;;) {
        try {
            open();
            return;
        } catch (const ENorvaneError& e) {
            std::string file;
            if (!NvtMessageFile(e.Message(), TnvMsg::AccessDenied, file)) throw;
            NvtRefusal why = NvtWhyRefused(file, write);
            if (why == NvtRefusal::None) {
                // The holder let go between the refusal and the look: try once more.
                if (++vanished > 3) throw;
                continue;
            }
            if (why != NvtRefusal::Locked || waited >= waitMs) throw NvtError(NvtRefusalText(why, file));
            NvOS().SleepMs(kNvLockStepMs);
            waited += kNvLockStepMs;
        }
    }
}

// Whether the file begins as a table of the family does: a known version byte and
// plausible header and record lengths.
bool LooksLikeTable(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    uint8_t h[32] = {};
    in.read(reinterpret_cast<char*>(h), sizeof h);
    if (in.gcount() < static_cast<std::streamsize>(sizeof h) || !nvdbf::IsKnownVersion(h[0])) return false;
    int headerLength = h[8] | h[9] << 8, recordLength = h[10] | h[11] << 8;
    return headerLength >= 33 && recordLength >= 1;
}

// The name of the old table an interrupted pack set aside (see NVO_dBHandler::Pack).
std::string PackAside(const std::string& table) {
    fs::path p(table);
    return (p.parent_path() / (p.stem().string() + ".pack-old.dbf")).string();
}

// The old table an interrupted password change set aside (STEM.old-*.dbf beside it), or "".
std::string PasswordAside(const std::string& table) {
    fs::path p(table);
    const std::string prefix = p.stem().string() + ".old-";
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(p.parent_path(), ec)) {
        const std::string name = entry.path().filename().string();
        if (name.rfind(prefix, 0) == 0 && NvHasExt(name, "dbf")) return entry.path().string();
    }
    return std::string();
}

bool IsIndexFileName(const std::string& name) {
    for (const char* ext : {"cdx", "mdx", "ndx", "ntx"})
        if (NvHasExt(name, ext)) return true;
    return false;
}

}  // namespace

void NvtSetProgressStream(std::ostream* err) { g_progress = err; }

NvtTable::NvtTable(const NvtArgs& args, bool write)
    : NvtTable(args.positional.at(0), args.Value("password"), write, NvtWaitMs(args)) {
    if (const int page = NvtCodePageOption(args)) {
        nvlocale::TnvPageChoice choice;
        nvlocale::ChoiceForPage(page, choice);
        cursor_->SetCodePages(choice);
    }
    NvtSetTextPage(cursor_->CodePages().StoredPage());
}

NvtTable::NvtTable(const std::string& path, const std::string& password, bool write, int waitMs)
    : path_(Absolute(path)), write_(write), waitMs_(waitMs) {
    if (path.find_first_not_of(" \t") == std::string::npos) throw NvtError("no table named");
    std::error_code ec;
    if (fs::is_directory(path_, ec)) throw NvtError(path_ + " is a directory, not a table");
    try {
        OpenWaiting([&] { cursor_ = std::make_unique<ProgressCursor>(path_, !write, write, password); }, waitMs,
                    write);
    } catch (const ENorvaneError& e) {
        std::string file;
        if ((NvtMessageFile(e.Message(), TnvMsg::ReadError, file) ||
             NvtMessageFile(e.Message(), TnvMsg::TableHeaderInvalid, file)) &&
            !LooksLikeTable(file))
            throw NvtError(file + " is not an xBase table");
        if (NvtMessageFile(e.Message(), TnvMsg::FileNotFound, file) && fs::exists(PackAside(file), ec))
            throw NvtError(e.Message() + "; a pack that was stopped left the old table as " + PackAside(file) +
                           " (with its memo file): rename them back");
        if (NvtMessageFile(e.Message(), TnvMsg::FileNotFound, file) && !PasswordAside(file).empty())
            throw NvtError(e.Message() + "; a password change that was stopped left the old table as " +
                           PasswordAside(file) + " (with its memo and index files, named like it): rename them back");
        throw;
    }
    path_ = cursor_->FileName();
    NvtSetTextPage(cursor_->CodePages().StoredPage());
}

NvtTable::~NvtTable() = default;

NVobjIndexFile& NvtTable::OpenIndex(const std::string& path, bool create, bool overwrite) {
    std::string full = Absolute(path);
    for (NVobjIndexFile* f : files_)
        if (f->diskFile && SameFile(f->diskFile->FileName(), full)) return *f;
    int slot = 1;
    while (slot <= NVO_dBHandler::kIndexSlots && cursor_->IndexFile(slot)) ++slot;
    if (slot > NVO_dBHandler::kIndexSlots) throw NvtError("too many index files");
    std::error_code ec;
    if (fs::is_directory(full, ec)) throw NvtError(full + " is a directory, not an index file");
    std::unique_ptr<NVobjIndexFile> file;
    OpenWaiting([&] { file = NvOpenIndexFile(&cursor_->IndexTable(), full, create, overwrite, cursor_->Shared()); },
                waitMs_, write_);
    if (!file) NvRaise(TnvMsg::FileNotFound, {full});
    if (file->corrupt) NvRaise(TnvMsg::IndexCorrupted, {file->MessageName()});
    NVobjIndexFile* raw = file.get();
    cursor_->SetIndexFile(slot, std::make_unique<NVO_CoreIndexFile>(std::move(file)));
    files_.push_back(raw);
    slots_.push_back(slot);
    return *raw;
}

void NvtTable::OpenIndexes(const NvtArgs& args) {
    for (const std::string& p : args.Values("index")) OpenIndex(p);
}

void NvtTable::OpenProductionIndex() {
    for (const char* ext : {"cdx", "mdx"}) {
        std::string candidate = NvFindFileNoCase(NvCompanionName(path_, ext));
        std::error_code ec;
        if (fs::is_regular_file(candidate, ec)) OpenIndex(candidate);
    }
}

std::vector<std::string> NvtTable::UnopenedIndexFiles() {
    std::vector<std::string> found;
    fs::path table(path_);
    const std::string base = Upper(table.stem().string());
    std::error_code ec;
    for (fs::directory_iterator it(table.parent_path(), ec), end; !ec && it != end; it.increment(ec)) {
        if (!it->is_regular_file(ec)) continue;
        const std::string path = it->path().string();
        const std::string name = it->path().filename().string();
        if (!IsIndexFileName(name)) continue;
        bool open = false;
        for (NVobjIndexFile* f : files_)
            if (f->diskFile && SameFile(f->diskFile->FileName(), path)) open = true;
        if (open) continue;
        // Opened for this table, a file whose expressions name fields this table lacks
        // fails to load its tags: the fields decide, not the file's name.
        // A file that cannot be read at all is counted by its name, as before.
        const bool named = Upper(name).compare(0, base.size(), base) == 0;
        bool belongs = false;
        try {
            std::unique_ptr<NVobjIndexFile> file = NvOpenIndexFile(&cursor_->IndexTable(), path, false, false, true);
            belongs = file && (file->corrupt ? named : file->TagCount() > 0);
        } catch (const ENorvaneExpression&) {
            belongs = false;
        } catch (const std::exception&) {
            belongs = named;
        }
        if (belongs) found.push_back(path);
    }
    std::sort(found.begin(), found.end());
    return found;
}

void NvtTable::WarnUnopenedIndexes(std::ostream& err, const std::string& consequence) {
    for (const std::string& path : UnopenedIndexFiles())
        err << "norvane: warning: index file " << path << " was not given with --index; " << consequence << "\n";
}

std::vector<std::string> NvtTable::OwnFiles() const {
    std::vector<std::string> own = {path_};
    if (cursor_->HasMemo()) own.push_back(NVobjMemoBase::MemoFileName(path_, cursor_->Version()));
    for (NVobjIndexFile* f : files_)
        if (f->diskFile) own.push_back(f->diskFile->FileName());
    for (const char* ext : {"cdx", "mdx"}) own.push_back(NvFindFileNoCase(NvCompanionName(path_, ext)));
    return own;
}

void NvtTable::CloseIndex(NVobjIndexFile* file) {
    for (std::size_t i = 0; i < files_.size(); ++i) {
        if (files_[i] != file) continue;
        cursor_->SetIndexFile(slots_[i], nullptr);
        files_.erase(files_.begin() + static_cast<std::ptrdiff_t>(i));
        slots_.erase(slots_.begin() + static_cast<std::ptrdiff_t>(i));
        return;
    }
}

void NvtTable::Flush() {
    for (int slot : slots_)
        if (NVO_IndexFile* f = cursor_->IndexFile(slot)) f->ReleasePages();
    cursor_->Flush();
}

void NvtTable::FlushWritten() {
    if (cursor_->Written() || cursor_->HeaderDirty()) {
        Flush();
        return;
    }
    for (int slot : slots_) {
        NVO_IndexFile* f = cursor_->IndexFile(slot);
        if (!f) continue;
        f->ReleasePages();
        if (f->DiskFile()) f->DiskFile()->Flush();
    }
}

bool NvtSingleTagFile(std::string_view path) {
    return NvHasExt(path, "") || NvHasExt(path, "ndx") || NvHasExt(path, "ntx");
}

std::string NvtTagName(const NVobjIndexFile& file, const NVobjIndexTag& tag) {
    std::string name = file.diskFile ? file.diskFile->FileName() : file.FileName();
    if (NvtSingleTagFile(name)) return Upper(fs::path(name).stem().string().substr(0, 10));
    return NvtStoredText(tag.tagName);
}

NVobjIndexTag& NvtFindTag(const std::vector<NVobjIndexFile*>& files, std::string_view name) {
    std::string wanted = Upper(name);
    for (NVobjIndexFile* f : files) {
        for (int i = 0; i < f->TagCount(); ++i) {
            NVobjIndexTag& tag = *f->TagByNumber(i);
            if (Upper(NvtTagName(*f, tag)) == wanted) return tag;
            std::string path = f->diskFile ? f->diskFile->FileName() : f->FileName();
            if (NvtSingleTagFile(path) && Upper(fs::path(path).stem().string()) == wanted) return tag;
        }
    }
    throw NvtError("no tag named " + std::string(name) + " in the given index files");
}

std::vector<std::string> NvtIndexFilesBeside(const std::string& tablePath) {
    std::vector<std::string> found;
    fs::path table(tablePath);
    std::string base = Upper(table.stem().string());
    std::error_code ec;
    fs::path dir = table.parent_path().empty() ? fs::path(".") : table.parent_path();
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
        if (!it->is_regular_file(ec)) continue;
        std::string name = it->path().filename().string();
        if (Upper(name).compare(0, base.size(), base) != 0) continue;
        bool index = false;
        for (const char* ext : {"cdx", "mdx", "ndx", "ntx"}) index = index || NvHasExt(name, ext);
        if (index) found.push_back(it->path().string());
    }
    std::sort(found.begin(), found.end());
    return found;
}

std::string NvtStoredText(std::string_view text) {
    while (!text.empty() && (text.back() == ' ' || text.back() == '\0')) text.remove_suffix(1);
    return std::string(text);
}

std::string NvtMemoBytes(NVO_dBaseFld& table, int n) {
    int32_t size = table.MemoSize(n);
    std::string value(static_cast<std::size_t>(std::max(size, 0)), '\0');
    if (size > 0) {
        int32_t got = table.ReadMemo(n, reinterpret_cast<uint8_t*>(value.data()), size);
        value.resize(static_cast<std::size_t>(std::clamp(got, 0, size)));
    }
    return value;
}

bool NvtDateTimeOf(NVO_dBaseFld& table, int n, int32_t& day, int32_t& milliseconds) {
    std::string raw = table.GetRaw(n);
    if (raw.size() < 8) return false;
    auto le32 = [&](std::size_t at) {
        return static_cast<int32_t>(static_cast<uint32_t>(static_cast<uint8_t>(raw[at])) |
                                    static_cast<uint32_t>(static_cast<uint8_t>(raw[at + 1])) << 8 |
                                    static_cast<uint32_t>(static_cast<uint8_t>(raw[at + 2])) << 16 |
                                    static_cast<uint32_t>(static_cast<uint8_t>(raw[at + 3])) << 24);
    };
    day = le32(0);
    milliseconds = le32(4);
    bool blank = std::all_of(raw.begin(), raw.begin() + 8, [](char c) { return c == ' ' || c == '\0'; });
    return !blank && day > 0;
}

std::string NvtDumpValue(NVO_dBaseFld& t, int n) {
    if (t.IsMemoField(n)) {
        std::string bytes = NvtMemoBytes(t, n);
        return std::to_string(bytes.size()) + ":" + NvtMd5Hex(bytes);
    }
    bool vfp = t.Version() == nvdbf::kVerVfp;
    char type = t.FieldType(n);
    std::string raw = t.GetRaw(n);
    auto number = [&](int decimals) {
        try {
            return nvlocale::FormatFixed(static_cast<double>(t.GetNumber(n)), decimals);
        } catch (const Exception&) {
            // Text that is no number (a peer's overflow stars, say) is shown as it stands.
            return TrimRight(raw);
        }
    };
    switch (type) {
        case 'C':
            return TrimRight(raw);
        case 'N':
        case 'F':
            return number(t.FieldDecimals(n));
        case 'D': {
            if (TrimRight(raw).empty()) return std::string();
            try {
                int32_t day = t.GetDate(n);
                if (day > 0) return DBFDate.DayToStor(day);
            } catch (const Exception&) {
            }
            return raw;
        }
        case 'L':
            return t.GetLogical(n) ? "T" : "F";
        default:
            break;
    }
    if (vfp) {
        switch (type) {
            case 'I':
                return number(0);
            case 'Y':
                return number(4);
            case 'B':
                try {
                    return nvlocale::FormatShortest(static_cast<double>(t.GetNumber(n)));
                } catch (const Exception&) {
                    return TrimRight(raw);
                }
            case 'T': {
                int32_t day = 0, ms = 0;
                if (!NvtDateTimeOf(t, n, day, ms)) return std::string();
                char time[16];
                std::snprintf(time, sizeof time, "%02d%02d%02d", ms / 3600000 % 100, ms / 60000 % 60, ms / 1000 % 60);
                return DBFDate.DayToStor(day) + time;
            }
            default:
                break;
        }
    }
    return TrimRight(raw);
}

namespace {

const nvlocale::TnvCodePage*& TextPage() {
    static const nvlocale::TnvCodePage* page = &nvlocale::CodePage(437);
    return page;
}

}  // namespace

const nvlocale::TnvCodePage& NvtTextPage() { return *TextPage(); }

void NvtSetTextPage(int page) {
    if (nvlocale::FindCodePage(page)) TextPage() = &nvlocale::CodePage(page);
}

int NvtCodePageOption(const NvtArgs& args) {
    if (!args.Has("codepage")) return 0;
    const std::string text = args.Value("codepage");
    int page = 0;
    for (char c : text) page = c >= '0' && c <= '9' && page < 100000 ? page * 10 + (c - '0') : -1;
    if (text.empty() || page <= 0 || !nvlocale::FindCodePage(page))
        throw NvtUsageError("--codepage " + text +
                            ": not a code page read here (437, 737, 850, 852, 857, 860, 861, 863, 865, 866, "
                            "1250 to 1254)");
    return page;
}

std::string NvtOemToUtf8(std::string_view oem) {
    const nvlocale::TnvCodePage& page = NvtTextPage();
    std::string out;
    out.reserve(oem.size());
    for (char ch : oem) {
        char32_t u = page.ToUnicode(static_cast<uint8_t>(ch));
        if (u < 0x80) {
            out += static_cast<char>(u);
        } else if (u < 0x800) {
            out += static_cast<char>(0xC0 | (u >> 6));
            out += static_cast<char>(0x80 | (u & 0x3F));
        } else {
            out += static_cast<char>(0xE0 | (u >> 12));
            out += static_cast<char>(0x80 | ((u >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (u & 0x3F));
        }
    }
    return out;
}

NvtOemResult NvtToOem(std::string_view utf8, std::string& oem, bool bestFit, std::string* bad, std::string* nearest) {
    oem.clear();
    oem.reserve(utf8.size());
    NvtOemResult result = NvtOemResult::Exact;
    std::size_t i = 0;
    while (i < utf8.size()) {
        std::size_t start = i;
        auto c = static_cast<uint8_t>(utf8[i]);
        // Every page keeps ASCII as it is.
        if (c < 0x80) {
            oem += static_cast<char>(c);
            ++i;
            continue;
        }
        char32_t u;
        int extra;
        if ((c & 0xE0) == 0xC0) {
            u = c & 0x1F;
            extra = 1;
        } else if ((c & 0xF0) == 0xE0) {
            u = c & 0x0F;
            extra = 2;
        } else if ((c & 0xF8) == 0xF0) {
            u = c & 0x07;
            extra = 3;
        } else {
            return NvtOemResult::NotUtf8;
        }
        if (i + static_cast<std::size_t>(extra) >= utf8.size()) return NvtOemResult::NotUtf8;
        for (int k = 1; k <= extra; ++k) {
            auto cc = static_cast<uint8_t>(utf8[i + static_cast<std::size_t>(k)]);
            if ((cc & 0xC0) != 0x80) return NvtOemResult::NotUtf8;
            u = (u << 6) | (cc & 0x3F);
        }
        i += static_cast<std::size_t>(extra) + 1;
        const nvlocale::TnvCodePage& page = NvtTextPage();
        uint8_t b = page.FromUnicode(u);
        bool none = b == '?' && u != U'?';
        // The page holds the character itself only when the byte means it again.
        if (none || page.ToUnicode(b) != u) {
            if (none || !bestFit) {
                if (bad) *bad = std::string(utf8.substr(start, i - start));
                if (nearest) *nearest = none ? std::string() : NvtOemToUtf8(std::string(1, static_cast<char>(b)));
                return NvtOemResult::Unmappable;
            }
            result = NvtOemResult::Replaced;
        }
        oem += static_cast<char>(b);
    }
    return result;
}

bool NvtUtf8ToOem(std::string_view utf8, std::string& oem) {
    NvtOemResult result = NvtToOem(utf8, oem, true);
    return result == NvtOemResult::Exact || result == NvtOemResult::Replaced;
}

std::string NvtTextValue(NVO_dBaseFld& t, int n) {
    if (t.IsMemoField(n)) return NvtOemToUtf8(NvtMemoBytes(t, n));
    std::string raw = t.GetRaw(n);
    std::string trimmed = TrimRight(raw);
    bool vfp = t.Version() == nvdbf::kVerVfp;
    switch (t.FieldType(n)) {
        case 'C':
            return NvtOemToUtf8(trimmed);
        case 'N':
        case 'F':
            return trimmed.empty() ? std::string() : NvtDumpValue(t, n);
        case 'D': {
            std::string stored = NvtDumpValue(t, n);
            if (stored.size() == 8 && TrimRight(stored) == stored && stored.find_first_not_of("0123456789") == std::string::npos)
                return stored.substr(0, 4) + "-" + stored.substr(4, 2) + "-" + stored.substr(6, 2);
            return NvtOemToUtf8(TrimRight(stored));
        }
        case 'L':
            // "?" is a logical not yet decided, which some programs of the family store: it
            // travels as itself so that an import gives back the same byte.
            return trimmed.empty() || trimmed == "?" ? trimmed : NvtDumpValue(t, n);
        default:
            break;
    }
    if (vfp) {
        char type = t.FieldType(n);
        if (type == 'T') {
            std::string s = NvtDumpValue(t, n);
            if (s.size() != 14) return s;
            return s.substr(0, 4) + "-" + s.substr(4, 2) + "-" + s.substr(6, 2) + "T" + s.substr(8, 2) + ":" +
                   s.substr(10, 2) + ":" + s.substr(12, 2);
        }
        if (type == 'I' || type == 'Y' || type == 'B') return NvtDumpValue(t, n);
    }
    return NvtOemToUtf8(trimmed);
}

void NvtForEachRecord(NvtTable& table, NVobjIndexTag* tag, const std::string& filter, bool hideDeleted,
                      const std::function<void(int32_t)>& visit) {
    NVO_dBHandler& cursor = table.Cursor();
    std::unique_ptr<TnvIndexExpression> test;
    if (filter.find_first_not_of(" \t") != std::string::npos) test = NvtCompile(cursor, filter, "filter");
    auto take = [&](int32_t r) {
        cursor.Go(r);
        if (cursor.CurrentRecord() != r) return;
        if (hideDeleted && cursor.RecordPointer()[0] != ' ') return;
        if (test) {
            TnvVariant result(16);
            test->Evaluate(result);
            if (result.Kind() != TnvVariant::kLogical) throw NvtError("Filter expression must return boolean result");
            if (!result.AsLogical()) return;
        }
        visit(r);
    };
    int32_t count = cursor.RecordCount();
    if (!tag) {
        for (int32_t r = 1; r <= count; ++r) take(r);
        return;
    }
    // Records come in key order, scattered over the table: a read-ahead window filled for
    // each one would read a whole window per record (ten times slower over a million).
    struct ReadAheadOff {
        NVO_dBHandler& cursor;
        bool was;
        explicit ReadAheadOff(NVO_dBHandler& c) : cursor(c), was(c.ReadAheadOn()) { cursor.SetReadAhead(false); }
        ~ReadAheadOff() { cursor.SetReadAhead(was); }
    } readAheadOff(cursor);
    // A damaged tree could lead round in circles: no walk is longer than the records.
    int64_t steps = 0;
    for (int32_t r = tag->TagMove(-3); r != 0; r = tag->TagMove(-1)) {
        if (++steps > static_cast<int64_t>(count) + 1 || r < 0 || r > count) tag->RaiseCorrupt();
        take(r);
    }
}

std::unique_ptr<NvtTable> NvtOpenForRecordWrites(const NvtArgs& args, std::ostream& err) {
    auto table = std::make_unique<NvtTable>(args, true);
    table->OpenIndexes(args);
    table->OpenProductionIndex();
    table->WarnUnopenedIndexes(err);
    return table;
}

int NvtWaitMs(const NvtArgs& args) {
    if (!args.Has("wait")) return kNvLockWaitMs;
    const std::string text = args.Value("wait");
    double seconds = -1;
    if (!nvlocale::TryParseNumber(text, seconds, '.') || !(seconds >= 0) || seconds > 86400)
        throw NvtUsageError(args.command + ": --wait takes a number of seconds (0 to 86400), not '" + text + "'");
    return static_cast<int>(std::lround(seconds * 1000));
}

namespace {

// The names in an expression's text that stand alone (no "(" after them), outside quoted
// texts, with the depth of parentheses each stands at.
std::vector<std::pair<std::string, int>> BareNames(const std::string& text) {
    std::vector<std::pair<std::string, int>> names;
    int depth = 0;
    for (std::size_t i = 0; i < text.size();) {
        char c = text[i];
        if (c == '\'' || c == '"' || c == '[') {
            char close = c == '[' ? ']' : c;
            std::size_t end = text.find(close, i + 1);
            i = end == std::string::npos ? text.size() : end + 1;
            continue;
        }
        if (c == '(') ++depth;
        if (c == ')') --depth;
        if (std::isalpha(static_cast<unsigned char>(c)) || c == '_') {
            std::size_t start = i;
            while (i < text.size() && (std::isalnum(static_cast<unsigned char>(text[i])) || text[i] == '_')) ++i;
            // A qualified name (ALIAS.FIELD, ALIAS->FIELD) counts by its last part.
            std::size_t next = text.find_first_not_of(" \t", i);
            bool call = next != std::string::npos && text[next] == '(';
            bool qualifier = next != std::string::npos && (text[next] == '.' || text.compare(next, 2, "->") == 0);
            // .T., .AND. and the like are no names.
            bool dotted = start > 0 && text[start - 1] == '.' && i < text.size() && text[i] == '.';
            if (!call && !qualifier && !dotted) names.emplace_back(Upper(text.substr(start, i - start)), depth);
            continue;
        }
        ++i;
    }
    return names;
}

}  // namespace

std::string NvtOemExpression(const std::string& text, const std::string& what) {
    std::string oem, bad;
    switch (NvtToOem(text, oem, false, &bad)) {
        case NvtOemResult::Exact:
            return oem;
        case NvtOemResult::NotUtf8:
            throw NvtError("the " + what + " '" + text + "' is not UTF-8 text");
        default:
            throw NvtError("the " + what + " '" + text + "' holds '" + bad + "', which the table's code page lacks");
    }
}

std::unique_ptr<TnvIndexExpression> NvtCompile(NVO_dBHandler& table, const std::string& text, const std::string& what) {
    try {
        return table.CompileExpression(NvtOemExpression(text, what));
    } catch (const ENorvaneExpression& e) {
        // The parser takes an unknown name for a function without parentheses.
        for (const auto& [name, depth] : BareNames(text))
            if (e.Message() == NvMessage(TnvMsg::NoFunction, {name}))
                throw NvtError("the " + what + " '" + text + "' names " + name + ", which is no field of " +
                               table.FileName());
        throw NvtError("the " + what + " '" + text + "': " + e.Message());
    }
}

std::string NvtMemoFieldInKey(NVO_dBHandler& table, const std::string& key) {
    for (const auto& [name, depth] : BareNames(key)) {
        if (depth != 0) continue;
        int n = table.FieldNumber(name);
        if (n != 0 && table.IsMemoField(n)) return table.FieldName(n);
    }
    return std::string();
}

std::string NvtCount(int64_t count, const std::string& noun) {
    return std::to_string(count) + " " + noun + (count == 1 ? "" : "s");
}
