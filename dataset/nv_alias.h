// Directory aliases of the record set: a process-wide list of name=directory entries, read
// once from the "Alias" section of the engine configuration file norvane.cfg, to which the
// record set adds every directory it is given as a database name.
//
// Where norvane.cfg is looked for: $XDG_CONFIG_HOME/pelmora/norvane.cfg (with XDG_CONFIG_HOME
// unset or empty: ~/.config/pelmora/norvane.cfg); when that file does not exist,
// /etc/pelmora/norvane.cfg. A missing file or section gives an empty list. The file has the
// usual initialisation-file layout: "[Section]" headers, then key=value lines; blank lines
// and lines starting with ";" or "#" are skipped. Names compare without regard to case; the
// first entry of a name wins. One thread (the user-interface thread).
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

// The configuration file this process reads: the first of the two places that exists, or
// the first place when neither does.
std::string NvConfigFileName();

// The alias entries of the "Alias" section of an initialisation file, in file order; empty
// when the file cannot be read.
std::vector<std::pair<std::string, std::string>> NvReadAliasSection(const std::string& fileName);

// The directory an alias stands for; none when the name is not in the list. The list is
// read from NvConfigFileName() on first use.
std::optional<std::string> NvAliasDirectory(std::string_view name);
// Adds name=directory unless the name is in the list already.
void NvAddAlias(std::string_view name, std::string_view directory);
// Replaces the list with the entries of `fileName` (tests, and a reread after a change).
void NvReloadAliases(const std::string& fileName);

// The default code pages of the "CodePage" section (keys OEM and ANSI, e.g. OEM=866 and
// ANSI=1251): unmarked tables are read with them. A key that is missing or names a page
// the engine does not read leaves its page at 437 or 1252.
void NvReadCodePageSection(const std::string& fileName, int& oem, int& ansi);
// Makes the pages of NvConfigFileName() the engine's default pair, once per process (the
// record set calls it before it opens a table).
void NvLoadConfiguredCodePages();
// Makes the pages of `fileName` the default pair now (tests, and a reread).
void NvReloadCodePages(const std::string& fileName);
