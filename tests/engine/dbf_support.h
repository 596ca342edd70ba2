// Test support for the table tests: a scratch folder that removes itself, whole-file reads
// and byte patches, and small tables made by the builders.
#pragma once

#include <stdlib.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <iterator>
#include <string>
#include <tuple>
#include <vector>

#include "nv6_bld.h"

namespace dbftest {

class TempDir {
public:
    TempDir() {
        std::string pattern = (std::filesystem::temp_directory_path() / "pelmora-dbf-XXXXXX").string();
        if (char* made = ::mkdtemp(pattern.data())) path_ = made;
    }
    ~TempDir() {
        std::error_code ec;
        if (!path_.empty()) std::filesystem::remove_all(path_, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    std::string File(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

inline std::vector<uint8_t> ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

inline void WriteAll(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

// Field definition for MakeTable: name, type, length, decimals.
using FieldDef = std::tuple<const char*, const char*, int, int>;

// A new empty table by the dBase III builder.
inline void MakeTable(const std::string& path, std::initializer_list<FieldDef> fields) {
    NVO_DBFBuild build(path);
    for (const auto& [name, type, length, decimals] : fields) build.AddField(name, type, length, decimals);
    build.Build();
}

}  // namespace dbftest
