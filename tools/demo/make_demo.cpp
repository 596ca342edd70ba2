// Writes the demo table that `scripts/run.sh` opens: a FoxPro table of people with
// character, date, numeric, logical and memo fields (notes in an .fpt file), some records
// deleted, and a compound index (.cdx) with a tag on the name and one on the salary.
//   pelmora_make_demo OUTPUT.dbf
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>

#include "nv6_bld.h"
#include "nv6_date.h"
#include "nv6_dbsy.h"
#include "nv6_glbl.h"

namespace {

constexpr int kRecords = 300;

const char* const kNames[] = {"Ada",   "Bruno", "Chlo\x82", "Dmitri", "Elif",  "Farid", "Greta",
                              "Hiro",  "In\x8As", "Jonas",   "Kwame",  "Lotte", "Mateo", "Noor",
                              "Oskar", "Priya", "Quinn",   "Rosa",   "Sven",  "Tarek"};
const char* const kCities[] = {"Lisboa", "Z\x81rich", "Oslo", "Krak\xA2w", "Sevilla", "G\x94teborg", "Lyon"};
const char* const kNotes[] = {
    "Prefers e-mail to telephone.",
    "Met at the spring fair.\r\nAsked for the new catalogue.",
    "Pays by bank transfer, always on time.",
    "Moved house in March; new address confirmed.\r\nSend invoices to the office.",
    "Member of the tasting club since its first season."};

std::string RemoveExtension(const std::string& path) {
    return (std::filesystem::path(path).parent_path() / std::filesystem::path(path).stem()).string();
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: pelmora_make_demo OUTPUT.dbf\n");
        return 2;
    }
    const std::string path = argv[1];
    const std::string base = RemoveExtension(path);
    try {
        std::error_code ec;
        for (const char* ext : {".dbf", ".fpt", ".cdx"}) std::filesystem::remove(base + ext, ec);
        std::filesystem::remove(path, ec);
        {
            NVO_DBFoxBuild build(path);
            build.AddField("NAME", "C", 20, 0);
            build.AddField("CITY", "C", 20, 0);
            build.AddField("BORN", "D", 8, 0);
            build.AddField("SALARY", "N", 10, 2);
            build.AddField("ACTIVE", "L", 1, 0);
            build.AddField("NOTES", "M", 10, 0);
            build.Build();
        }  // the builder closes the new table and its memo file

        NVO_dBHandler table(path, false, true, "");
        const int notes = table.FieldNumber("NOTES");
        for (int i = 0; i < kRecords; ++i) {
            table.BlankRecord();
            // Record text is in the OEM code page; the accents above are written as such.
            table.PutTextByName("NAME", std::string(kNames[i % 20]) + " " + std::to_string(i + 1));
            table.PutTextByName("CITY", kCities[i % 7]);
            table.SetDateByName("BORN", TnvDBFDate::YMDToDay(1950 + i % 50, 1 + i % 12, 1 + i % 28));
            table.SetNumberByName("SALARY", 2500.0L + (i * 137) % 5000 + (i % 100) / 100.0L);
            table.SetLogicalByName("ACTIVE", i % 3 != 0);
            if (i % 4 == 1) {
                const std::string note = kNotes[i % 5];
                table.SetNumber(notes, table.WriteMemo(notes, reinterpret_cast<const uint8_t*>(note.data()),
                                                       static_cast<int32_t>(note.size())));
            }
            table.Append();
            if (i % 17 == 5) table.DeleteRecord();
        }
        const std::string index = base + ".cdx";
        table.IndexOn(index, "NAME", 0, true, "", "UPPER(NAME)");
        table.IndexOn(index, "SALARY", 0, true, "", "SALARY");
        table.Close();
    } catch (const Exception& e) {
        std::fprintf(stderr, "pelmora_make_demo: %s\n", e.what());
        return 1;
    }
    return 0;
}
