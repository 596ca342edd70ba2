// What the index tests share: a cursor slot over an index file the test keeps, a tag's walk
// as (key text, record) pairs, and the comparison of two walks run by run.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "nv6_dbsy.h"
#include "nv6_indx.h"

namespace nvtest {

// Puts an index file into a cursor slot so that record writes maintain it; the test keeps
// the file (NVO_CoreIndexFile would own it).
class TagSlot : public NVO_IndexFile {
public:
    explicit TagSlot(NVobjIndexFile& file) : file_(file) {}
    NVO_DiskFile* DiskFile() override { return file_.diskFile.get(); }
    void RecordChanged(int32_t record, bool appending) override { file_.RecordChanged(record, appending); }
    void Reindex() override { file_.Reindex(); }

private:
    NVobjIndexFile& file_;
};

// (key text, record) in walking order.
using TagEntry = std::pair<std::string, int32_t>;
using TagWalk = std::vector<TagEntry>;

inline std::string RawKeyText(const TnvVariant& key) { return std::string(key.View()); }

// The tag's entries from first to last (or last to first, given back in forward order), the
// key as `keyText` puts it. A walk that does not end stops after `limit` entries.
inline TagWalk WalkTag(NVobjIndexTag& tag, bool backward = false,
                       const std::function<std::string(const TnvVariant&)>& keyText = RawKeyText,
                       std::size_t limit = 500000) {
    TagWalk out;
    for (int32_t r = tag.TagMove(backward ? -4 : -3); r != 0; r = tag.TagMove(backward ? -2 : -1)) {
        out.emplace_back(keyText(tag.currentKey), r);
        if (out.size() > limit) break;
    }
    if (backward) std::reverse(out.begin(), out.end());
    return out;
}

inline std::vector<int32_t> WalkRecords(const TagWalk& walk) {
    std::vector<int32_t> out;
    for (const auto& e : walk) out.push_back(e.second);
    return out;
}

// Keys in order must agree; within a run of equal keys the records count only as a set (a
// maintained tree places a changed key after its equals, a fresh build in record order),
// and not at all without `compareRecords`.
inline void ExpectSameRuns(const TagWalk& actual, const TagWalk& expected, bool compareRecords = true) {
    ASSERT_EQ(actual.size(), expected.size());
    std::size_t i = 0;
    while (i < actual.size()) {
        std::size_t j = i;
        std::multiset<int32_t> a, e;
        while (j < actual.size() && actual[j].first == actual[i].first) {
            ASSERT_EQ(expected[j].first, actual[i].first) << "at entry " << j;
            a.insert(actual[j].second);
            e.insert(expected[j].second);
            ++j;
        }
        ASSERT_TRUE(j == expected.size() || expected[j].first != actual[i].first) << "at entry " << j;
        if (compareRecords) {
            EXPECT_EQ(a, e) << "records of key " << actual[i].first;
        }
        i = j;
    }
}

}  // namespace nvtest
