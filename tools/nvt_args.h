// The command line of the `norvane` tool: the table of its commands with their options and
// help texts, the parser that turns the words after the command into an NvtArgs, and the
// two failures a command reports (a bad command line, a failed job). Every command's
// options live in this one table so that `--help`, the parser and the commands agree.
#pragma once

#include <map>
#include <set>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

// Exit statuses of the tool.
constexpr int kNvtExitOk = 0;
// seek: the key is not there; check: problems were found.
constexpr int kNvtExitNo = 1;
// Any failure: bad command line, unreadable file, engine error.
constexpr int kNvtExitError = 2;

// The command line itself is wrong (unknown command or option, missing value).
class NvtUsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The job cannot be done (a value that does not fit, a refused request).
class NvtError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// One option of a command: `--name VALUE` (or `--name=VALUE`) when it takes a value, else a
// flag; `repeatable` options collect every value given.
struct NvtOptionDef {
    const char* name;
    bool takesValue;
    bool repeatable;
};

// One command: its name, the synopsis line, the help text, how many plain arguments it
// wants, whether it writes the table or its index files, and the options it knows.
struct NvtCommandDef {
    const char* name;
    const char* synopsis;
    const char* help;
    int minPositional;
    int maxPositional;
    bool writes;
    std::vector<NvtOptionDef> options;
};

// The parsed words of one command.
class NvtArgs {
public:
    std::string command;
    std::vector<std::string> positional;
    // Whether a flag or a valued option was given.
    bool Has(std::string_view name) const;
    // The last value given for `name`, or `fallback`.
    std::string Value(std::string_view name, const std::string& fallback = std::string()) const;
    // Every value given for `name`, in order (empty when none).
    const std::vector<std::string>& Values(std::string_view name) const;
    // The value of an option the command cannot do without ("missing --NAME" otherwise).
    std::string Required(std::string_view name) const;

    std::map<std::string, std::vector<std::string>, std::less<>> values;
    std::set<std::string, std::less<>> flags;
    bool help = false;
};

// Every command, in the order `norvane --help` lists them.
const std::vector<NvtCommandDef>& NvtCommands();
// The command named `name`; nullptr when there is none.
const NvtCommandDef* NvtFindCommand(std::string_view name);
// Parses the words after the command name. Raises NvtUsageError for an unknown option, a
// missing value, a repeated single option or the wrong number of plain arguments (not when
// `--help` is among the words).
NvtArgs NvtParse(const NvtCommandDef& command, const std::vector<std::string>& words);
// `norvane --help` and `norvane COMMAND --help`.
std::string NvtGeneralHelp();
std::string NvtCommandHelp(const NvtCommandDef& command);
// Splits "A,B , C" at commas, blanks around each part removed, empty parts dropped.
std::vector<std::string> NvtSplitList(std::string_view text, char separator = ',');
