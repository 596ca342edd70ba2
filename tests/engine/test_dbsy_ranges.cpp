// Ranges whose bounds are blank: the master/detail link of the record set asks for the
// detail records of a master with a blank key, which are the records with blank keys.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "dbf_support.h"
#include "nv6_dbsy.h"
#include "nv6_indx.h"
TEST(CursorRanges, BlankBoundsSelectTheRecordsWithBlankKeysInEveryFormat) {
    for (const char* ext : {".ndx", ".cdx", ".ntx", ".mdx"}) {
    dbftest::TempDir dir;
    std::string path = dir.File("r.dbf");
    if (std::string(ext) == ".mdx") { NVO_DB4Build b(path); b.AddField("NAME","C",6,0); b.Build(); }
    else dbftest::MakeTable(path, {{"NAME", "C", 6, 0}});
    NVO_dBHandler t(path, false, true, "");
    for (const char* n : {"bob", "", "al", ""}) { t.BlankRecord(); t.PutRaw(1, n); t.Append(); }
    ASSERT_EQ(t.IndexOn(std::string("i") + ext, "i", 0, true, "", "NAME"), 0);
    ASSERT_EQ(t.OpenIndexFiles(std::string("i") + ext, "i"), 0);
    ASSERT_TRUE(t.SetRange("      ", "      ", true, true, false));
    std::vector<int> seen;
    for (t.Go(-3); !t.Eof(); t.Skip(1)) seen.push_back(t.CurrentRecord());
    EXPECT_EQ(seen, (std::vector<int>{2, 4})) << ext;
    // As a prefix (the master/detail form) too; and a real key still selects only itself.
    ASSERT_TRUE(t.SetRange("      ", "      ", true, true, true));
    seen.clear();
    for (t.Go(-3); !t.Eof(); t.Skip(1)) seen.push_back(t.CurrentRecord());
    EXPECT_EQ(seen, (std::vector<int>{2, 4})) << ext;
    ASSERT_TRUE(t.SetRange("al", "al", true, true, false));
    seen.clear();
    for (t.Go(-3); !t.Eof(); t.Skip(1)) seen.push_back(t.CurrentRecord());
    EXPECT_EQ(seen, (std::vector<int>{3})) << ext;
    }
}
