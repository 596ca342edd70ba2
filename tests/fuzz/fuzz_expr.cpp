// Fuzz target: parsing and evaluating expressions.
//
// The input after the selector byte is the expression text (separators are not looked
// for). It is compiled against a small FoxPro table the engine writes once into the memory
// disk: NAME C 20, AMOUNT N 10 2, BORN D, ACTIVE L, NOTES M, with three records (one of
// them deleted, one blank). Selector bits: 0 evaluate as a filter over the table rather
// than on each record, 1 compare case-insensitively, 2 with wildcards (filters only),
// 3-4 the width STR gives numbers written without one (10, the argument's own, 1, 255),
// 5 also build an index tag on the expression (bit 6: an NTX file, else a CDX tag) and walk it.
#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "fuzz_support.h"
#include "nv6_bld.h"
#include "nv6_dbsy.h"
#include "nv6_glbl.h"
#include "nv6_indx.h"

namespace {

// No function makes more than 65,535 characters out of a count, and every such call takes
// more than 8 bytes of text: a longer result came from one that should have refused.
int64_t MaxResult(size_t textSize) { return 65535 * (int64_t(textSize) / 8 + 1); }

using Files = std::map<std::string, std::string>;

const Files& TableFiles() {
    static const Files files = [] {
        nvfuzz::MemoryDisk disk;
        NvPlatformScope use(disk);
        const std::string path = nvfuzz::MemoryDisk::Path("e.dbf");
        {
            NVO_DBFoxBuild build(path);
            build.AddField("NAME", "C", 20, 0);
            build.AddField("AMOUNT", "N", 10, 2);
            build.AddField("BORN", "D", 8, 0);
            build.AddField("ACTIVE", "L", 1, 0);
            build.AddField("NOTES", "M", 10, 0);
            build.Build();
        }
        {
            NVO_dBHandler t(path, false, true, "");
            t.BlankRecord();
            t.PutText(1, "Mueller");
            t.PutText(2, "-1234.5");
            t.PutText(3, "19991231");
            t.PutText(4, "T");
            t.Append();
            const std::string note = "a note\r\nof two lines";
            t.WriteMemo(5, reinterpret_cast<const uint8_t*>(note.data()), static_cast<int32_t>(note.size()));
            t.WriteRecord(1);
            t.BlankRecord();
            t.Append();
            t.BlankRecord();
            t.PutText(1, "zz top");
            t.PutText(2, "99999.99");
            t.Append();
            t.DeleteRecord();
            t.WriteRecord(3);
        }
        Files out;
        for (const char* name : {"e.dbf", "e.fpt"}) {
            const auto* bytes = disk.Get(name);
            if (!bytes) __builtin_trap();
            out[name] = std::string(bytes->begin(), bytes->end());
        }
        return out;
    }();
    return files;
}

void CheckResult(const TnvVariant& value, size_t textSize) {
    if (value.Length() < 0 || value.Length() > MaxResult(textSize)) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const Files& files = TableFiles();
    const uint8_t s = data[0];
    const std::string_view text(reinterpret_cast<const char*>(data) + 1, size - 1);
    nvfuzz::MemoryDisk disk;
    NvPlatformScope use(disk);
    for (const auto& [name, bytes] : files) disk.Put(name, bytes);
    static const int16_t kWidths[4] = {10, -1, 1, 255};
    try {
        NVO_dBHandler t(nvfuzz::MemoryDisk::Path("e.dbf"), false, true, "");
        if (s & 1) {
            t.SetFilter(text, s & 2, s & 4);
            t.SetFiltered(true);
            nvfuzz::StepGuard guard(t.RecordCount() + 2);
            for (t.Go(-3); !t.Eof(); t.Skip(1)) guard.Step();
            return 0;
        }
        if (s & 32) {
            const bool ntx = s & 64;
            try {
                t.IndexOn(nvfuzz::MemoryDisk::Path(ntx ? "e.ntx" : "e.cdx"), ntx ? "" : "FUZZ", 0, true, "", text);
                if (t.OpenIndex(nvfuzz::MemoryDisk::Path(ntx ? "e.ntx" : "e.cdx")) == 0) {
                    t.SetOrder(ntx ? "E" : "FUZZ", false);
                    nvfuzz::StepGuard guard(t.RecordCount() + 2);
                    for (t.Go(-3); !t.Eof(); t.Skip(1)) guard.Step();
                }
            } catch (const Exception& e) {
                nvfuzz::Refused(e);
            }
        }
        std::unique_ptr<TnvIndexExpression> expression = t.CompileExpression(text, kWidths[(s >> 3) & 3]);
        expression->ResultLength();
        for (int32_t r = 1; r <= t.RecordCount(); ++r) {
            t.Go(r);
            try {
                TnvVariant value;
                expression->Evaluate(value);
                CheckResult(value, text.size());
            } catch (const Exception& e) {
        nvfuzz::Refused(e);
    }
        }
    } catch (const Exception& e) {
        nvfuzz::Refused(e);
    }
    return 0;
}
