#include "nv_alias.h"

#include <cstdlib>
#include <fstream>

#include "db_conv.h"

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

AliasList NvReadAliasSection(const std::string& fileName) {
    AliasList out;
    std::ifstream in(fileName, std::ios::binary);
    if (!in) return out;
    std::string line;
    bool inAlias = false;
    while (std::getline(in, line)) {
        std::string text = Trim(line);
        if (text.empty() || text[0] == ';' || text[0] == '#') continue;
        if (text.front() == '[') {
            size_t close = text.find(']');
            std::string section = Trim(text.substr(1, close == std::string::npos ? std::string::npos : close - 1));
            inAlias = SameText(section, "Alias");
            continue;
        }
        if (!inAlias) continue;
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
