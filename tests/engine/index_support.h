// What the index shape and stress tests share: a one-field table of given width made with
// distinct keys, an index file of any format over it kept up to date by the cursor, the
// comparison of a tree walked from the file's bytes with the keys the table holds, and the
// stress tests' seed and scale.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "dbf_support.h"
#include "nv6_dbex.h"
#include "nv6_dbsy.h"
#include "nv6_ixop.h"
#include "nv_test_tags.h"
#include "nv_tree_check.h"

namespace ixtest {

// PELMORA_INDEX_STRESS_SEED picks other random keys and changes; PELMORA_INDEX_STRESS_SCALE
// (a whole number, default 1) makes a stress run longer (scripts/index-stress).
inline int EnvNumber(const char* name, int fallback) {
    const char* text = std::getenv(name);
    return text && *text ? std::atoi(text) : fallback;
}

inline unsigned StressSeed() { return static_cast<unsigned>(EnvNumber("PELMORA_INDEX_STRESS_SEED", 1)); }
inline int StressScale() { return std::max(1, EnvNumber("PELMORA_INDEX_STRESS_SCALE", 1)); }

// A table with one character field NAME of `width` and `count` records.
inline void MakeNames(const std::string& path, int width, int count, const std::function<std::string(int)>& name) {
    dbftest::MakeTable(path, {{"NAME", "C", width, 0}});
    NVO_dBHandler t(path, false, true, "");
    for (int n = 1; n <= count; ++n) {
        t.BlankRecord();
        t.PutRaw(1, name(n));
        t.Append();
    }
}

// Distinct keys that do not come in record order: n scattered over 0..99,999 (odd
// multiplier, so no two records meet), as five digits, repeated to fill `width`.
inline std::string Scattered(int n, int width) {
    const unsigned v = (static_cast<unsigned>(n) * 7919u) % 100000u;
    char digits[8];
    std::snprintf(digits, sizeof digits, "%05u", v);
    std::string s;
    while (static_cast<int>(s.size()) < width) s += digits;
    return s.substr(0, static_cast<std::size_t>(width));
}

// An index file over the cursor's table, in a cursor slot so that record writes maintain it.
struct OpenIndex {
    std::unique_ptr<NVobjIndexFile> file;
    OpenIndex(NVO_dBHandler& t, const std::string& path, int slot) {
        file = NvOpenIndexFile(&t.IndexTable(), path, false, false, false);
        if (file) t.SetIndexFile(slot, std::make_unique<nvtest::TagSlot>(*file));
    }
};

// Builds `path` (one tag `tag` on `key`) for the cursor's table and closes it again.
inline void Build(NVO_dBHandler& t, const std::string& path, const std::string& tag, const std::string& key,
                  bool unique = false, bool ascending = true, const std::string& forExpression = "") {
    auto file = NvOpenIndexFile(&t.IndexTable(), path, true, true, false);
    ASSERT_TRUE(file);
    ASSERT_TRUE(file->TagAdd(tag, key, unique, ascending, forExpression));
}

// The records of the table whose NAME (without trailing blanks) passes `keep`, in key order
// (equal keys by record number), each once.
inline std::vector<std::pair<std::string, int32_t>> Expected(NVO_dBHandler& t, bool ascending = true) {
    std::vector<std::pair<std::string, int32_t>> rows;
    for (int32_t r = 1; r <= t.RecordCount(); ++r) {
        t.NVO_dBaseFld::Go(r);
        std::string name = t.GetRaw(1);
        while (!name.empty() && name.back() == ' ') name.pop_back();
        rows.emplace_back(name, r);
    }
    std::stable_sort(rows.begin(), rows.end(), [ascending](const auto& a, const auto& b) {
        return ascending ? a.first < b.first : a.first > b.first;
    });
    return rows;
}

// Checks the tree of the only tag of `path` from its bytes and that it lists exactly
// `expected` in order (equal keys in any record order).
inline void ExpectTree(const std::string& path, const std::vector<std::pair<std::string, int32_t>>& expected) {
    nvtest::TreeFileReport report = nvtest::CheckIndexTrees(path);
    ASSERT_EQ(report.tags.size(), 1u) << report.Problems();
    const nvtest::TreeReport& tag = report.tags[0];
    EXPECT_TRUE(report.Ok()) << report.Problems();
    nvtest::TagWalk walked, wanted;
    for (const nvtest::TreeEntry& e : tag.entries) walked.emplace_back(tag.KeyText(e), e.record);
    for (const auto& e : expected) wanted.emplace_back(e.first, e.second);
    ASSERT_EQ(walked.size(), wanted.size()) << "entries in the tree of " << path;
    nvtest::ExpectSameRuns(walked, wanted);
}

}  // namespace ixtest
