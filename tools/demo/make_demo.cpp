// Writes the demo table that `scripts/run.sh` opens: a dBase III table of people with
// character, date, numeric and logical fields, a few of them deleted.
//   pelmora_make_demo OUTPUT.dbf
#include <cstdio>
#include <filesystem>
#include <string>

#include "nv6_bld.h"
#include "nv6_date.h"
#include "nv6_fld.h"
#include "nv6_glbl.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: pelmora_make_demo OUTPUT.dbf\n");
        return 2;
    }
    const std::string path = argv[1];
    static const char* const kNames[] = {"Ada",   "Bruno", "Chlo\x82", "Dmitri", "Elif",  "Farid", "Greta",
                                         "Hiro",  "In\x8As",  "Jonas", "Kwame",  "Lotte", "Mateo", "Noor",
                                         "Oskar", "Priya", "Quinn", "Rosa",   "Sven",  "Tarek"};
    static const char* const kCities[] = {"Lisboa", "Z\x81rich", "Oslo", "Krak\xA2w", "Sevilla", "G\x94teborg", "Lyon"};
    try {
        std::error_code ec;
        std::filesystem::remove(path, ec);
        {
            NVO_DBFBuild build(path);
            build.AddField("NAME", "C", 20, 0);
            build.AddField("CITY", "C", 20, 0);
            build.AddField("BORN", "D", 8, 0);
            build.AddField("SALARY", "N", 10, 2);
            build.AddField("ACTIVE", "L", 1, 0);
            build.Build();
        }  // the builder closes the new table

        NVO_dBaseFld table(path, false, true, "");
        for (int i = 0; i < 200; ++i) {
            table.BlankRecord();
            // Record text is in the OEM code page; the accents above are written as such.
            std::string name = kNames[i % 20];
            name += " " + std::to_string(i + 1);
            table.PutTextByName("NAME", name);
            table.PutTextByName("CITY", kCities[i % 7]);
            table.SetDateByName("BORN", TnvDBFDate::YMDToDay(1950 + i % 50, 1 + i % 12, 1 + i % 28));
            table.SetNumberByName("SALARY", 2500.0L + (i * 137) % 5000 + (i % 100) / 100.0L);
            table.SetLogicalByName("ACTIVE", i % 3 != 0);
            table.Append();
            if (i % 17 == 5) table.DeleteRecord();
        }
        table.Close();
    } catch (const Exception& e) {
        std::fprintf(stderr, "pelmora_make_demo: %s\n", e.what());
        return 1;
    }
    return 0;
}
