#include "nvt_args.h"

#include <sstream>

namespace {

constexpr NvtOptionDef kPassword{"password", true, false};
constexpr NvtOptionDef kIndexes{"index", true, true};

const std::vector<NvtCommandDef> kCommands = {
    {"info", "norvane info TABLE [--password P]",
     "Shows the table's version byte and flavour, record count, header and record length, its\n"
     "fields, memo file and encryption flag, and the index files beside it with their tags.",
     1, 1, {kPassword}},
    {"dump", "norvane dump TABLE [--index FILE]... [--password P]",
     "Writes every record in natural order, deleted ones included, as 'row' lines, then one\n"
     "'order' line per tag of the given index files, sorted by tag name. Field text is printed\n"
     "as stored (no code-page translation); memos as <length>:<md5>.",
     1, 1, {kIndexes, kPassword}},
    {"list", "norvane list TABLE [--order TAG --index FILE...] [--filter EXPR] [--hide-deleted]\n"
             "             [--fields A,B] [--password P]",
     "Shows the records as text, converted to UTF-8: natural order, or the order of a tag of\n"
     "one of the given index files; --filter keeps the records for which the xBase expression\n"
     "is true.",
     1, 1,
     {{"order", true, false}, kIndexes, {"filter", true, false}, {"hide-deleted", false, false},
      {"fields", true, false}, kPassword}},
    {"seek", "norvane seek TABLE --index FILE --order TAG KEY [--password P]",
     "Looks KEY up in the tag and prints the record number found (exit 0); exit 1 when the key\n"
     "is not there. Character keys match from their start; dates are given as yyyymmdd or\n"
     "yyyy-mm-dd. --order also accepts the base name of an NDX or NTX file.",
     2, 2, {kIndexes, {"order", true, false}, kPassword}},
    {"create", "norvane create TABLE --flavour dbase3|dbase4|foxpro (--fields \"NAME C 20,AGE N 3 0,...\"\n"
               "               | --from LISTING.TXT)",
     "Creates an empty table (and its memo file when it has memo fields). A listing holds one\n"
     "field a line as NAME;TYPE;LENGTH;DECIMALS, as the structure editor writes it. 'clipper'\n"
     "is accepted as a flavour and makes a dBase III table.",
     1, 1, {{"flavour", true, false}, {"fields", true, false}, {"from", true, false}}},
    {"index", "norvane index TABLE --file FILE --tag TAG --key EXPR [--for EXPR] [--unique]\n"
              "              [--descending] [--password P]",
     "Adds a tag to an index file (created when missing) and builds it from the records. NDX\n"
     "files hold one ascending tag without a FOR condition, NTX files one tag; their tag is\n"
     "named after the file. The FOR condition must give a logical value.",
     1, 1,
     {{"file", true, false}, {"tag", true, false}, {"key", true, false}, {"for", true, false},
      {"unique", false, false}, {"descending", false, false}, kPassword}},
    {"reindex", "norvane reindex TABLE --index FILE... [--password P]",
     "Rebuilds every tag of the given index files from the records.", 1, 1, {kIndexes, kPassword}},
    {"deltag", "norvane deltag TABLE --index FILE --tag TAG [--password P]",
     "Removes a tag from an index file. An NDX or NTX file holds only its one tag: the file\n"
     "itself is removed.",
     1, 1, {kIndexes, {"tag", true, false}, kPassword}},
    {"pack", "norvane pack TABLE [--index FILE]... [--password P]",
     "Removes the deleted records and rebuilds the given index files and the production index.",
     1, 1, {kIndexes, kPassword}},
    {"zap", "norvane zap TABLE [--index FILE]... --yes [--password P]",
     "Removes every record (and every memo) and empties the given index files and the\n"
     "production index. Refused without --yes.",
     1, 1, {kIndexes, {"yes", false, false}, kPassword}},
    {"password", "norvane password TABLE --new P [--password OLD] [--index FILE]...",
     "Changes the table's password to P (an empty P removes it) and with it the password of\n"
     "its memo file, its production index and the given index files. All files are converted\n"
     "into copies that replace them together, so a failure leaves every file as it was.\n"
     "Index files beside the table that are not given keep the old password (a warning\n"
     "names them).",
     1, 1, {{"new", true, false}, kIndexes, kPassword}},
    {"export", "norvane export TABLE --csv OUT.csv [--order TAG --index FILE...] [--filter EXPR]\n"
               "               [--password P]",
     "Writes the live records as RFC 4180 CSV with a header row: text in UTF-8, dates as\n"
     "yyyy-mm-dd, logicals T/F, memos inline; blank fields stay empty.",
     1, 1, {{"csv", true, false}, {"order", true, false}, kIndexes, {"filter", true, false}, kPassword}},
    {"import", "norvane import TABLE --csv IN.csv [--index FILE]... [--password P]",
     "Appends the rows of a CSV file with a header row, matched to the fields by name: text in\n"
     "UTF-8, dates yyyy-mm-dd, logicals T/F/Y/N/true/false, numbers with a decimal point. A\n"
     "value that does not fit stops the import with its line and field before any row is added.",
     1, 1, {{"csv", true, false}, kIndexes, kPassword}},
    {"check", "norvane check TABLE [--index FILE]... [--password P]",
     "Compares every tag of the given index files with a fresh build in memory (each record\n"
     "that belongs once, keys in order, no entry for a record that does not belong) and checks\n"
     "the memo pointers against the memo file. Prints each problem; exit 1 when there is one.",
     1, 1, {kIndexes, kPassword}},
};

const NvtOptionDef* FindOption(const NvtCommandDef& command, std::string_view name) {
    for (const NvtOptionDef& o : command.options)
        if (name == o.name) return &o;
    return nullptr;
}

}  // namespace

bool NvtArgs::Has(std::string_view name) const {
    return flags.count(name) != 0 || values.find(name) != values.end();
}

std::string NvtArgs::Value(std::string_view name, const std::string& fallback) const {
    auto it = values.find(name);
    return it == values.end() || it->second.empty() ? fallback : it->second.back();
}

const std::vector<std::string>& NvtArgs::Values(std::string_view name) const {
    static const std::vector<std::string> kNone;
    auto it = values.find(name);
    return it == values.end() ? kNone : it->second;
}

std::string NvtArgs::Required(std::string_view name) const {
    auto it = values.find(name);
    if (it == values.end() || it->second.empty())
        throw NvtUsageError(command + ": missing --" + std::string(name));
    return it->second.back();
}

const std::vector<NvtCommandDef>& NvtCommands() { return kCommands; }

const NvtCommandDef* NvtFindCommand(std::string_view name) {
    for (const NvtCommandDef& c : kCommands)
        if (name == c.name) return &c;
    return nullptr;
}

NvtArgs NvtParse(const NvtCommandDef& command, const std::vector<std::string>& words) {
    NvtArgs args;
    args.command = command.name;
    bool optionsEnded = false;
    for (std::size_t i = 0; i < words.size(); ++i) {
        const std::string& w = words[i];
        if (optionsEnded || w.size() < 2 || w.compare(0, 2, "--") != 0) {
            args.positional.push_back(w);
            continue;
        }
        if (w == "--") {
            optionsEnded = true;
            continue;
        }
        std::string name = w.substr(2);
        std::string value;
        bool inlineValue = false;
        if (auto eq = name.find('='); eq != std::string::npos) {
            value = name.substr(eq + 1);
            name.resize(eq);
            inlineValue = true;
        }
        if (name == "help") {
            args.help = true;
            continue;
        }
        const NvtOptionDef* o = FindOption(command, name);
        if (!o) throw NvtUsageError(std::string(command.name) + ": unknown option --" + name);
        if (!o->takesValue) {
            if (inlineValue) throw NvtUsageError(std::string(command.name) + ": --" + name + " takes no value");
            args.flags.insert(name);
            continue;
        }
        if (!inlineValue) {
            if (i + 1 >= words.size()) throw NvtUsageError(std::string(command.name) + ": --" + name + " needs a value");
            value = words[++i];
        }
        auto& list = args.values[name];
        if (!list.empty() && !o->repeatable)
            throw NvtUsageError(std::string(command.name) + ": --" + name + " given twice");
        list.push_back(value);
    }
    if (args.help) return args;
    int n = static_cast<int>(args.positional.size());
    if (n < command.minPositional)
        throw NvtUsageError(std::string(command.name) + (n == 0 ? ": missing TABLE" : ": missing KEY"));
    if (n > command.maxPositional)
        throw NvtUsageError(std::string(command.name) + ": unexpected argument '" + args.positional[command.maxPositional] + "'");
    return args;
}

std::string NvtGeneralHelp() {
    std::ostringstream s;
    s << "Usage: norvane COMMAND TABLE [OPTIONS]\n"
         "Batch work on xBase tables (.dbf with .dbt/.fpt memos and .cdx/.mdx/.ndx/.ntx indexes).\n\n"
         "Commands:\n";
    for (const NvtCommandDef& c : kCommands) s << "  " << c.synopsis << "\n";
    s << "\n'norvane COMMAND --help' describes one command. Exit status: 0 done, 1 seek found\n"
         "nothing or check found problems, 2 failure (with a one-line message on stderr).\n";
    return s.str();
}

std::string NvtCommandHelp(const NvtCommandDef& command) {
    return std::string("Usage: ") + command.synopsis + "\n\n" + command.help + "\n";
}

std::vector<std::string> NvtSplitList(std::string_view text, char separator) {
    std::vector<std::string> parts;
    std::size_t start = 0;
    while (start <= text.size()) {
        std::size_t end = text.find(separator, start);
        if (end == std::string_view::npos) end = text.size();
        std::string_view part = text.substr(start, end - start);
        while (!part.empty() && (part.front() == ' ' || part.front() == '\t')) part.remove_prefix(1);
        while (!part.empty() && (part.back() == ' ' || part.back() == '\t')) part.remove_suffix(1);
        if (!part.empty()) parts.emplace_back(part);
        start = end + 1;
    }
    return parts;
}
