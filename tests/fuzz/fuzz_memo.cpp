// Fuzz target: reading every memo of a table, in each of the three memo formats.
//
// Parts: table, memo. Selector bits: 0-1 the memo format when bit 2 is set (the table's
// version byte becomes 0x83 dBase III, 0x8B dBase IV, 0xF5 FoxPro or 0x30 Visual FoxPro with
// its memo flag), 3 afterwards rewrite every memo of the first record with a value of
// 100 x bits 4-7 bytes and read them back (block reuse, the free chain, appending).
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "nv6_dbsy.h"
#include "nv6_glbl.h"

namespace {

void ReadMemos(NVO_dBHandler& t, int64_t memoFileSize) {
    std::vector<uint8_t> buffer;
    for (int f = 1; f <= t.FieldCount(); ++f) {
        if (!t.IsMemoField(f)) continue;
        try {
            int32_t length = t.MemoSize(f);
            // A length the file cannot hold must have been refused before anyone allocates it.
            if (length < 0 || length > memoFileSize) __builtin_trap();
            buffer.assign(static_cast<size_t>(length) + 1, 0);
            t.ReadMemo(f, buffer.data(), length + 1);
            t.GetText(f);
        } catch (const Exception& e) {
        nvfuzz::Refused(e);
    }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    nvfuzz::Input input(data, size);
    if (!input.Has(1)) return 0;
    const uint8_t s = input.selector;
    std::string table(input.parts[0]);
    if ((s & 4) && table.size() > 28) {
        static const uint8_t kVersions[4] = {0x83, 0x8B, 0xF5, 0x30};
        table[0] = static_cast<char>(kVersions[s & 3]);
        if ((s & 3) == 3) table[28] = static_cast<char>(table[28] | 0x02);
    }
    input.parts[0] = table;
    nvfuzz::Session session(input);
    const int64_t memoSize = static_cast<int64_t>(input.parts[1].size());
    try {
        NVO_dBHandler t(nvfuzz::MemoryDisk::Path("t.dbf"), false, true, "");
        nvfuzz::StepGuard guard(int64_t(t.RecordCount()) + 2);
        for (t.Go(-3); !t.Eof(); t.Skip(1)) {
            guard.Step();
            ReadMemos(t, memoSize);
        }
        if (s & 8) {
            t.Go(1);
            std::string value(static_cast<size_t>(100 * (s >> 4)), 'm');
            for (int f = 1; f <= t.FieldCount(); ++f) {
                if (!t.IsMemoField(f)) continue;
                try {
                    t.WriteMemo(f, reinterpret_cast<const uint8_t*>(value.data()), static_cast<int32_t>(value.size()));
                } catch (const Exception& e) {
        nvfuzz::Refused(e);
    }
            }
            t.WriteRecord(1);
            t.Go(1);
            const auto* memo = session.Disk().Get("t.dbt");
            int64_t grown = memo ? static_cast<int64_t>(memo->size()) : 0;
            if (const auto* fpt = session.Disk().Get("t.fpt")) grown = std::max<int64_t>(grown, fpt->size());
            ReadMemos(t, grown);
        }
    } catch (const Exception& e) {
        nvfuzz::Refused(e);
    }
    return 0;
}
