// Fuzz target: opening an index file of each format and walking, seeking and maintaining
// its tags.
//
// Parts: table, memo (may be empty), index. Selector bits: 0-1 the index format (0 .cdx,
// 1 .mdx, 2 .ndx, 3 .ntx), 2 afterwards append, edit and delete records and walk again,
// 3 open shared, 4 rebuild every tag at the end and walk again.
#include <cstdint>
#include <string>

#include "fuzz_support.h"
#include "nv6_dbsy.h"
#include "nv6_glbl.h"
#include "nv6_indx.h"

namespace {

const char* const kExtensions[4] = {"cdx", "mdx", "ndx", "ntx"};

// Every record the tag's walk may meet, however damaged its pages: a key takes at least
// one byte of the file, and maintenance adds a few.
int64_t WalkLimit(NVO_dBHandler& t, int64_t indexSize) { return 8 * indexSize + t.RecordCount() + 16; }

std::string Trimmed(std::string text) {
    while (!text.empty() && text.back() == ' ') text.pop_back();
    return text;
}

void WalkTag(NVO_dBHandler& t, const std::string& name, int64_t limit) {
    try {
        t.SetOrder(name, false);
        nvfuzz::StepGuard forward(limit);
        std::string firstKey;
        for (t.Go(-3); !t.Eof(); t.Skip(1)) {
            forward.Step();
            if (firstKey.empty() && t.FieldCount() > 0) firstKey = Trimmed(t.GetText(1));
        }
        nvfuzz::StepGuard back(limit);
        for (t.Go(-4); !t.Bof(); t.Skip(-1)) back.Step();
        t.Find(firstKey);
        t.FindInTag(name, firstKey);
        t.GoRelative(0.5);
        t.RelativePosition();
        t.SetRange(firstKey, firstKey, true, true, true);
        nvfuzz::StepGuard ranged(limit);
        for (t.Go(-3); !t.Eof(); t.Skip(1)) ranged.Step();
        t.ClearRange();
    } catch (const Exception& e) {
        nvfuzz::Refused(e);
    }
}

void WalkAll(NVO_dBHandler& t, int64_t indexSize) {
    for (int n = 1; NVobjIndexTag* tag = t.TagByOrdinal(n); ++n) {
        std::string name = tag->tagName;
        WalkTag(t, name, WalkLimit(t, indexSize));
        try {
            if (NVobjIndexTag* again = t.TagByOrdinal(n)) again->CheckTree([](const std::string&) {});
        } catch (const Exception& e) {
        nvfuzz::Refused(e);
    }
    }
    try {
        t.SetOrder("", false);
    } catch (const Exception& e) {
        nvfuzz::Refused(e);
    }
}

void Maintain(NVO_dBHandler& t) {
    if (t.FieldCount() == 0) return;
    try {
        t.SetOrder(t.TagByOrdinal(1) ? t.TagByOrdinal(1)->tagName : std::string(), false);
        for (const char* text : {"A", "fuzz", "ZZZZ", "A"}) {
            t.BlankRecord();
            t.PutText(1, text);
            t.Append();
        }
        t.Go(1);
        t.PutText(1, "MIDDLE");
        t.WriteRecord(t.CurrentRecord());
        t.Go(-4);
        t.DeleteRecord();
        t.WriteRecord(t.CurrentRecord());
        t.Go(-3);
        t.PutText(1, "");
        t.WriteRecord(t.CurrentRecord());
    } catch (const Exception& e) {
        nvfuzz::Refused(e);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    nvfuzz::Input input(data, size);
    if (!input.Has(2)) return 0;
    const uint8_t s = input.selector;
    const std::string extension = kExtensions[s & 3];
    nvfuzz::Session session(input, extension);
    if (input.parts[1].empty()) {
        session.Disk().Unlink(nvfuzz::MemoryDisk::Path("t.dbt"));
        session.Disk().Unlink(nvfuzz::MemoryDisk::Path("t.fpt"));
    }
    const std::string indexPath = nvfuzz::MemoryDisk::Path("t." + extension);
    auto indexSize = [&] {
        const auto* bytes = session.Disk().Get("t." + extension);
        return bytes ? static_cast<int64_t>(bytes->size()) : int64_t(0);
    };
    try {
        NVO_dBHandler t(nvfuzz::MemoryDisk::Path("t.dbf"), s & 8, true, "");
        if (t.OpenIndex(indexPath) != 0) return 0;
        WalkAll(t, indexSize());
        if (s & 4) {
            Maintain(t);
            WalkAll(t, indexSize());
        }
        if (s & 16) {
            t.Reindex();
            WalkAll(t, indexSize());
        }
    } catch (const Exception& e) {
        nvfuzz::Refused(e);
    }
    return 0;
}
