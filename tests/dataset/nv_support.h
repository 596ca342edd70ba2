// Test support for the record set over engine tables: peer fixtures copied into a scratch
// directory, their .dump files read back as expected rows, and a record set opened on a copy.
#pragma once

#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "disk_peer.h"
#include "nv_dataset.h"

namespace nvtest {

// One row of a fixture's .dump: record number, deletion mark and the field texts.
struct DumpRow {
    int recNo = 0;
    bool deleted = false;
    std::vector<std::string> fields;
};

inline std::string FixturePath(const std::string& name) {
    return std::string(PELMORA_FIXTURES) + "/peer/" + name;
}

inline std::vector<DumpRow> ReadDump(const std::string& table) {
    std::vector<DumpRow> rows;
    std::ifstream in(FixturePath(table + ".dump"), std::ios::binary);
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("row ", 0) != 0) continue;
        DumpRow r;
        std::istringstream words(line.substr(4));
        std::string mark;
        words >> r.recNo;
        words.get();
        char m = static_cast<char>(words.get());
        r.deleted = m == '*';
        std::string rest;
        std::getline(words, rest);
        // rest begins with "|"
        size_t start = 1;
        for (;;) {
            size_t bar = rest.find('|', start);
            r.fields.push_back(rest.substr(start, bar == std::string::npos ? std::string::npos : bar - start));
            if (bar == std::string::npos) break;
            start = bar + 1;
        }
        rows.push_back(std::move(r));
    }
    return rows;
}

// One tag of a fixture's .dump: its name and the record numbers from top to bottom.
struct DumpOrder {
    std::string tag;
    std::string expression;
    std::vector<int> records;
};

inline std::vector<DumpOrder> ReadDumpOrders(const std::string& table) {
    std::vector<DumpOrder> out;
    std::ifstream in(FixturePath(table + ".dump"), std::ios::binary);
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("order ", 0) != 0) continue;
        DumpOrder o;
        size_t bar = line.find('|');
        o.tag = line.substr(6, bar - 6);
        o.expression = line.substr(bar + 1, line.find('|', bar + 1) - bar - 1);
        std::istringstream numbers(line.substr(line.rfind('|') + 1));
        for (int n; numbers >> n;) o.records.push_back(n);
        out.push_back(std::move(o));
    }
    return out;
}

// Copies the named fixture files into the scratch directory.
inline void CopyFixtures(const ScratchDir& dir, std::initializer_list<const char*> names) {
    for (const char* n : names)
        std::filesystem::copy_file(FixturePath(n), dir.File(n),
                                   std::filesystem::copy_options::overwrite_existing);
}

// A record set on `table` in `dir`, not yet open.
inline std::unique_ptr<TNorvaneDataSet> MakeDataSet(const ScratchDir& dir, const std::string& table) {
    auto ds = std::make_unique<TNorvaneDataSet>();
    ds->SetDatabaseName(dir.Path());
    ds->SetTableName(table);
    return ds;
}

}  // namespace nvtest
