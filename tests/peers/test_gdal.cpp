// Interchange with GDAL (Debian gdal-bin): ogrinfo reads the tables our builders and field
// layer write, with the field types and widths it derives from our descriptors and the
// values we stored. The encoding open option tells it the text is code page 437.
#include <gtest/gtest.h>

#include <regex>

#include "dbf_support.h"
#include "peer_support.h"

using namespace peertest;

namespace {

struct OgrLayer {
    std::vector<std::string> fields;  // "NAME: String (20.0)"
    std::vector<int> ids;             // feature ids in the order listed
    std::vector<std::map<std::string, std::string>> features;
    std::string featureCount;
};

bool OgrinfoAvailable() { return Run("ogrinfo --version").status == 0; }

OgrLayer ReadWithOgrinfo(const std::string& path) {
    CommandResult r = Run("ogrinfo -ro -al -oo ENCODING=CP437 " + Quote(path));
    EXPECT_EQ(r.status, 0) << r.out;
    OgrLayer layer;
    static const std::regex field(R"(^(\w+): (\w+) \((\d+\.\d+)\)$)");
    static const std::regex feature(R"(^OGRFeature\(\w+\):(\d+)$)");
    static const std::regex value(R"(^  (\w+) \((\w+)\) = (.*)$)");
    static const std::regex count(R"(^Feature Count: (\d+)$)");
    std::istringstream in(r.out);
    std::string line;
    std::smatch m;
    while (std::getline(in, line)) {
        if (std::regex_match(line, m, count)) {
            layer.featureCount = m[1];
        } else if (std::regex_match(line, m, feature)) {
            layer.ids.push_back(std::stoi(m[1]));
            layer.features.emplace_back();
        } else if (!layer.features.empty() && std::regex_match(line, m, value)) {
            layer.features.back()[m[1]] = m[3];
        } else if (layer.features.empty() && std::regex_match(line, m, field)) {
            layer.fields.push_back(line);
        }
    }
    return layer;
}

}  // namespace

TEST(Gdal, ReadsOurTablesWithTheirTypesWidthsAndValues) {
    if (!OgrinfoAvailable()) GTEST_SKIP() << "gdal-bin (ogrinfo) is not installed (scripts/setup.sh installs it)";
    dbftest::TempDir dir;
    for (const Flavour& f : kOurFlavours) {
        for (bool memo : {false, true}) {
            SCOPED_TRACE(std::string(f.label) + (memo ? " with memo" : ""));
            std::string path = dir.File(std::string(memo ? "m" : "p") + f.label[1] + ".dbf");
            MakeOurTable(f, path, memo);
            OgrLayer layer = ReadWithOgrinfo(path);
            // GDAL maps L to a one-character string and gives dates its own display width 10
            // (the descriptor holds 8); it has no memo reader, so an M field is a 10-character
            // string holding the block number text (null for a field of blanks).
            std::vector<std::string> fields = {"NAME: String (20.0)", "AMT: Real (9.2)",
                                               "QTY: Integer (5.0)",  "RATIO: Real (12.4)",
                                               "BORN: Date (10.0)",   "OK: String (1.0)"};
            if (memo) fields.push_back("NOTES: String (10.0)");
            EXPECT_EQ(layer.fields, fields);
            // The count is the header's record count, deleted records included; listing skips
            // the deleted record 3 (feature id 2).
            EXPECT_EQ(layer.featureCount, "4");
            EXPECT_EQ(layer.ids, (std::vector<int>{0, 1, 3}));
            ASSERT_EQ(layer.features.size(), 3u);
            using V = std::map<std::string, std::string>;
            V first{{"NAME", kAccentUtf8}, {"AMT", "1234.50"}, {"QTY", "42"}, {"RATIO", "3.1416"},
                    {"BORN", "1999/12/31"}, {"OK", "T"}};
            V second{{"NAME", "plain"}, {"AMT", "-0.25"}, {"QTY", "0"}, {"RATIO", "-0.5000"},
                     {"BORN", "2024/02/29"}, {"OK", "F"}};
            // GDAL reads a field of blanks as null ("(null)"), and a blank date as unset: it is
            // not listed at all.
            V blank{{"NAME", "(null)"}, {"AMT", "0.00"}, {"QTY", "0"}, {"RATIO", "0.0000"},
                    {"OK", "(null)"}};
            if (memo) {
                // Records 1 and 2 hold memos: GDAL shows the block numbers we stored.
                NVO_dBaseFld t(path, false, false, "");
                auto blockText = [&](int32_t record) {
                    t.Go(record);
                    std::string raw = TrimRight(t.GetRaw(t.FieldNumber("NOTES")));
                    return raw.substr(std::min(raw.size(), raw.find_first_not_of(' ')));
                };
                first["NOTES"] = blockText(1);
                second["NOTES"] = blockText(2);
                EXPECT_GT(std::stoi(first["NOTES"]), 0);
                EXPECT_GT(std::stoi(second["NOTES"]), std::stoi(first["NOTES"]));
                blank["NOTES"] = "(null)";
            }
            EXPECT_EQ(layer.features[0], first);
            EXPECT_EQ(layer.features[1], second);
            EXPECT_EQ(layer.features[2], blank);
        }
    }
}
