#include "nv_alias.h"

#include <cstdlib>
#include <fstream>

#include "db_conv.h"
#include "nv6_cpag.h"

namespace {

using AliasList = std::vector<std::pair<std::string, std::string>>;

bool FileExists(const std::string& path) {
    std::ifstream in(path);
    return in.good();
}

struct Aliases {
    AliasList entries;
    bool loaded = false;
};

Aliases& TheAliases() {
    static Aliases aliases;
    if (!aliases.loaded) {
        aliases.loaded = true;
        aliases.entries = NvReadAliasSection(NvConfigFileName());
    }
    return aliases;
}

}  // namespace

std::string NvConfigFileName() {
    std::string base;
    const char* xdg = std::getenv("XDG_CONFIG_HOME");
    if (xdg && *xdg) {
        base = xdg;
    } else if (const char* home = std::getenv("HOME"); home && *home) {
        base = std::string(home) + "/.config";
    }
    std::string user = base.empty() ? std::string() : base + "/pelmora/norvane.cfg";
    const std::string system = "/etc/pelmora/norvane.cfg";
    if (!user.empty() && FileExists(user)) return user;
    if (FileExists(system)) return system;
    return user.empty() ? system : user;
}

namespace {

// The key=value entries of one section, in file order; the first entry of a name wins.
AliasList ReadSection(const std::string& fileName, std::string_view wanted) {
    AliasList out;
    std::ifstream in(fileName, std::ios::binary);
    if (!in) return out;
    std::string line;
    bool inSection = false;
    while (std::getline(in, line)) {
        std::string text = Trim(line);
        if (text.empty() || text[0] == ';' || text[0] == '#') continue;
        if (text.front() == '[') {
            size_t close = text.find(']');
            std::string section = Trim(text.substr(1, close == std::string::npos ? std::string::npos : close - 1));
            inSection = SameText(section, wanted);
            continue;
        }
        if (!inSection) continue;
        size_t eq = text.find('=');
        if (eq == std::string::npos) continue;
        std::string name = Trim(text.substr(0, eq));
        if (name.empty()) continue;
        bool known = false;
        for (const auto& e : out) known = known || SameText(e.first, name);
        if (!known) out.emplace_back(std::move(name), Trim(text.substr(eq + 1)));
    }
    return out;
}

int PageNumber(const std::string& text) {
    int n = 0;
    for (char c : text) {
        if (c < '0' || c > '9' || n > 100000) return 0;
        n = n * 10 + (c - '0');
    }
    return n;
}

}  // namespace

AliasList NvReadAliasSection(const std::string& fileName) { return ReadSection(fileName, "Alias"); }

void NvReadCodePageSection(const std::string& fileName, int& oem, int& ansi) {
    oem = 437;
    ansi = 1252;
    for (const auto& [key, value] : ReadSection(fileName, "CodePage")) {
        const nvlocale::TnvCodePage* page = nvlocale::FindCodePage(PageNumber(value));
        if (!page) continue;
        if (SameText(key, "OEM") && page->IsOem()) oem = page->Number();
        if (SameText(key, "ANSI") && !page->IsOem()) ansi = page->Number();
    }
}

void NvReloadCodePages(const std::string& fileName) {
    int oem = 437, ansi = 1252;
    NvReadCodePageSection(fileName, oem, ansi);
    nvlocale::SetDefaultPages(oem, ansi);
}

void NvLoadConfiguredCodePages() {
    static bool loaded = false;
    if (loaded) return;
    loaded = true;
    NvReloadCodePages(NvConfigFileName());
}

std::optional<std::string> NvAliasDirectory(std::string_view name) {
    for (const auto& e : TheAliases().entries)
        if (SameText(e.first, name)) return e.second;
    return std::nullopt;
}

void NvAddAlias(std::string_view name, std::string_view directory) {
    if (NvAliasDirectory(name)) return;
    TheAliases().entries.emplace_back(std::string(name), std::string(directory));
}

void NvReloadAliases(const std::string& fileName) {
    Aliases& a = TheAliases();
    a.entries = NvReadAliasSection(fileName);
}
