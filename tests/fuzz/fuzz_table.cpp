// Fuzz target: opening a table and walking it.
//
// Parts: table, memo (optional). Selector bits: 0 open shared, 1 open read-only,
// 2 hide deleted records, 3 read ahead, 4 afterwards append, edit, delete and recall a record.
#include <cstdint>
#include <string>

#include "fuzz_support.h"
#include "nv6_dbsy.h"
#include "nv6_glbl.h"

namespace {

void ReadFields(NVO_dBHandler& t) {
    for (int f = 1; f <= t.FieldCount(); ++f) {
        try {
            t.GetText(f);
            if (t.IsMemoField(f)) t.MemoSize(f);
        } catch (const Exception& e) {
        nvfuzz::Refused(e);
    }
    }
}

void Walk(NVO_dBHandler& t) {
    nvfuzz::StepGuard guard(int64_t(t.RecordCount()) + 2);
    for (t.Go(-3); !t.Eof(); t.Skip(1)) {
        guard.Step();
        ReadFields(t);
    }
    nvfuzz::StepGuard back(int64_t(t.RecordCount()) + 2);
    for (t.Go(-4); !t.Bof(); t.Skip(-1)) back.Step();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    nvfuzz::Input input(data, size);
    if (!input.Has(0)) return 0;
    nvfuzz::Session session(input);
    const uint8_t s = input.selector;
    try {
        NVO_dBHandler t(nvfuzz::MemoryDisk::Path("t.dbf"), s & 1, !(s & 2), "");
        t.SetShowDeleted(!(s & 4));
        t.SetReadAhead(s & 8);
        Walk(t);
        if ((s & 16) && !(s & 2)) {
            t.BlankRecord();
            if (t.FieldCount() > 0) t.PutText(1, "fuzz");
            t.Append();
            t.Go(1);
            t.DeleteRecord();
            t.WriteRecord(1);
            t.RecallRecord();
            t.WriteRecord(1);
            Walk(t);
        }
    } catch (const Exception& e) {
        nvfuzz::Refused(e);
    }
    return 0;
}
