#include "nvt_args.h"

#include <sstream>

namespace {

constexpr NvtOptionDef kPassword{"password", true, false};
constexpr NvtOptionDef kIndexes{"index", true, true};
constexpr NvtOptionDef kWait{"wait", true, false};
constexpr NvtOptionDef kCodePage{"codepage", true, false};

// Said once for every command that opens a table.
#define NVT_WAIT_HELP                                                                        \
    "\n\n--wait SECONDS waits that long (instead of 5 seconds) for a table or index file that\n" \
    "another program holds."

// Said for every command that reads or writes text.
#define NVT_CODEPAGE_HELP                                                                         \
    "\n\n--codepage PAGE reads and writes the table's text in that code page: a DOS page (437,\n"  \
    "737, 850, 852, 857, 860, 861, 863, 865, 866), or a Windows page (1250 to 1254) for a table\n" \
    "stored in one. By default the page the header's language driver byte names, else the\n"      \
    "OEM page of norvane.cfg's [CodePage] section, else 437."

const std::vector<NvtCommandDef> kCommands = {
    {"info", "norvane info TABLE [--codepage PAGE] [--password P] [--wait SECONDS]",
     "Shows the table's version byte and flavour, record count, header and record length, its\n"
     "fields, memo file, encryption flag and code page, and the index files beside it with their\n"
     "tags." NVT_WAIT_HELP NVT_CODEPAGE_HELP,
     1, 1, false, {kPassword, kWait, kCodePage}},
    {"dump", "norvane dump TABLE [--index FILE]... [--password P] [--wait SECONDS]",
     "Writes every record in natural order, deleted ones included, as 'row' lines, then one\n"
     "'order' line per tag of the given index files, sorted by tag name. Field text is printed\n"
     "as stored (no code-page translation); memos as <length>:<md5>." NVT_WAIT_HELP,
     1, 1, false, {kIndexes, kPassword, kWait}},
    {"list", "norvane list TABLE [--order TAG [--index FILE]...] [--filter EXPR] [--hide-deleted]\n"
             "             [--fields A,B] [--codepage PAGE] [--password P] [--wait SECONDS]",
     "Shows the records as text, converted to UTF-8: natural order, or the order of a tag of\n"
     "the given index files or of the production index (the .cdx or .mdx named like the\n"
     "table); --filter keeps the records for which the xBase expression is true.\n"
     "\n"
     "In an expression = compares whole texts, trailing blanks aside: NAME = 'Ab' does not\n"
     "match 'Abbott'. To match the beginning of a text compare that much of it,\n"
     "LEFT(NAME, 2) = 'Ab'; 'ab' $ LOWER(NAME) matches 'ab' anywhere in the name." NVT_WAIT_HELP
         NVT_CODEPAGE_HELP,
     1, 1, false,
     {{"order", true, false}, kIndexes, {"filter", true, false}, {"hide-deleted", false, false},
      {"fields", true, false}, kPassword, kWait, kCodePage}},
    {"seek", "norvane seek TABLE --index FILE --order TAG KEY [--codepage PAGE] [--password P]\n"
             "             [--wait SECONDS]",
     "Looks KEY up in the tag and prints the record number found (exit 0); exit 1 when the key\n"
     "is not there. Character keys match from their start; dates are given as yyyymmdd or\n"
     "yyyy-mm-dd. --order also accepts the base name of an NDX or NTX file." NVT_WAIT_HELP NVT_CODEPAGE_HELP,
     2, 2, false, {kIndexes, {"order", true, false}, kPassword, kWait, kCodePage}},
    {"create", "norvane create TABLE --flavour dbase3|dbase4|foxpro (--fields \"NAME C 20,AGE N 3 0,...\"\n"
               "               | --from LISTING.TXT) [--codepage PAGE]",
     "Creates an empty table (and its memo file when it has memo fields). A listing holds one\n"
     "field a line as NAME;TYPE;LENGTH;DECIMALS, as the structure editor writes it. 'clipper'\n"
     "is accepted as a flavour and makes a dBase III table.\n"
     "\n"
     "What each flavour holds: dBase III the types C, N, D, L and M and up to 128 fields;\n"
     "dBase IV C, N, F, D, L and M, FoxPro C, N, F, D, L, M and G, both up to 255 fields. C\n"
     "fields are 1 to 254 long, N and F fields 1 to 20.\n"
     "\n"
     "--codepage PAGE marks the table as written in that code page (its language driver byte),\n"
     "so that other programs and the other commands read its text right.",
     1, 1, true, {{"flavour", true, false}, {"fields", true, false}, {"from", true, false}, kCodePage}},
    {"index", "norvane index TABLE --file FILE --tag TAG --key EXPR [--for EXPR] [--unique]\n"
              "              [--descending] [--replace] [--codepage PAGE] [--password P] [--wait SECONDS]",
     "Adds a tag to an index file (created when missing) and builds it from the records. NDX\n"
     "files hold one ascending tag without a FOR condition, NTX files one tag; their tag is\n"
     "named after the file. Tag names are 1 to 10 letters, digits and underscores. The FOR\n"
     "condition must give a logical value; memo fields cannot be keys (LEFT(NOTES, 20) can).\n"
     "An existing NDX or NTX file, or a tag the CDX or MDX file has, is only built anew with\n"
     "--replace." NVT_WAIT_HELP NVT_CODEPAGE_HELP,
     1, 1, true,
     {{"file", true, false}, {"tag", true, false}, {"key", true, false}, {"for", true, false},
      {"unique", false, false}, {"descending", false, false}, {"replace", false, false}, kPassword, kWait,
      kCodePage}},
    {"reindex", "norvane reindex TABLE --index FILE... [--password P] [--wait SECONDS]",
     "Rebuilds every tag of the given index files from the records." NVT_WAIT_HELP, 1, 1, true,
     {kIndexes, kPassword, kWait}},
    {"deltag", "norvane deltag TABLE --index FILE --tag TAG [--password P] [--wait SECONDS]",
     "Removes a tag from an index file. An NDX or NTX file holds only its one tag: the file\n"
     "itself is removed." NVT_WAIT_HELP,
     1, 1, true, {kIndexes, {"tag", true, false}, kPassword, kWait}},
    {"pack", "norvane pack TABLE [--index FILE]... [--password P] [--wait SECONDS]",
     "Removes the deleted records and rebuilds the given index files and the production index.\n"
     "The new table is written as TABLE.pack-tmp.dbf and takes the table's place when it is\n"
     "complete; such files left by a pack that was stopped are removed by the next one." NVT_WAIT_HELP,
     1, 1, true, {kIndexes, kPassword, kWait}},
    {"zap", "norvane zap TABLE [--index FILE]... --yes [--password P] [--wait SECONDS]",
     "Removes every record (and every memo) and empties the given index files and the\n"
     "production index. Refused without --yes." NVT_WAIT_HELP,
     1, 1, true, {kIndexes, {"yes", false, false}, kPassword, kWait}},
    {"password", "norvane password TABLE --new P [--password OLD] [--index FILE]... [--wait SECONDS]",
     "Changes the table's password to P (an empty P removes it) and with it the password of\n"
     "its memo file, its production index and the given index files. All files are converted\n"
     "into copies that replace them together, so a failure leaves every file as it was.\n"
     "Index files beside the table that are not given keep the old password (a warning\n"
     "names them)." NVT_WAIT_HELP,
     1, 1, true, {{"new", true, false}, kIndexes, kPassword, kWait}},
    {"export", "norvane export TABLE (--csv OUT.csv [--bom] | --sqlite OUT.db [--table NAME] [--with-deleted])\n"
               "               [--order TAG [--index FILE]...] [--filter EXPR] [--codepage PAGE]\n"
               "               [--exclusive] [--password P] [--wait SECONDS]",
     "Writes the live records as RFC 4180 CSV with a header row: text in UTF-8 (with a byte-order\n"
     "mark only when --bom is given), dates as yyyy-mm-dd, logicals T/F (? for an undecided\n"
     "one), memos inline; blank fields stay empty. --csv - writes to standard output.\n"
     "\n"
     "--sqlite writes them into a table of an SQLite database instead (named after the table,\n"
     "or --table NAME; an existing table of that name is replaced), in one transaction: a\n"
     "column per field, the record number as the primary key 'recno'. Character and memo\n"
     "fields become TEXT in UTF-8; N without decimals, I and L (1/0) INTEGER; N with decimals,\n"
     "F and B REAL; Y NUMERIC; D the text yyyy-mm-dd and T yyyy-mm-ddThh:mm:ss; blank values\n"
     "NULL. Deleted records are left out unless --with-deleted adds them with a 'deleted'\n"
     "column (1 for a deleted record).\n"
     "\n"
     "The output is written under a temporary name and replaces OUT only when it is complete;\n"
     "the table's own files are refused as OUT.\n"
     "\n"
     "The table is opened shared, beside other programs; --exclusive holds it and its index\n"
     "files for this export alone (nothing is written to them), which reads them faster." NVT_WAIT_HELP
         NVT_CODEPAGE_HELP,
     1, 1, false,
     {{"csv", true, false}, {"bom", false, false}, {"sqlite", true, false}, {"table", true, false},
      {"with-deleted", false, false}, {"order", true, false}, kIndexes, {"filter", true, false},
      {"exclusive", false, false}, kPassword, kWait, kCodePage}},
    {"import", "norvane import TABLE --csv IN.csv [--index FILE]... [--round] [--replace-unmappable]\n"
               "               [--codepage PAGE] [--password P] [--wait SECONDS]",
     "Appends the rows of a CSV file with a header row, matched to the fields by name: text in\n"
     "UTF-8, dates yyyy-mm-dd, logicals T/F/Y/N/true/false or ?, numbers with a decimal point;\n"
     "an empty value leaves the field blank. --csv - reads standard input.\n"
     "\n"
     "A value that does not fit stops the import with its line and field before any row is\n"
     "added: text too long, control characters (memo fields may hold tabs and line breaks),\n"
     "a character the table's code page lacks, a number with more decimals than the field.\n"
     "--round stores such numbers rounded and --replace-unmappable such characters as their\n"
     "nearest equivalent ('S\xC3\xA3o' as 'Sao'); both report how many values they changed. An\n"
     "import that fails while writing leaves every file as it was." NVT_WAIT_HELP NVT_CODEPAGE_HELP,
     1, 1, true,
     {{"csv", true, false}, kIndexes, {"round", false, false}, {"replace-unmappable", false, false}, kPassword,
      kWait, kCodePage}},
    {"check", "norvane check TABLE [--index FILE]... [--codepage PAGE] [--password P] [--wait SECONDS]",
     "Compares the header's record count with the file's size, every tag of the given index\n"
     "files and of the production index with a fresh build in memory (each record that\n"
     "belongs once, keys in order, no entry for a record that does not belong) and checks the\n"
     "memo pointers against the memo file. Prints each problem; exit 1 when there is one." NVT_WAIT_HELP
         NVT_CODEPAGE_HELP,
     1, 1, false, {kIndexes, kPassword, kWait, kCodePage}},
    {"bench", "norvane bench scan|walk|seek|count|append TABLE [--field F] [--index FILE]...\n"
              "              [--order TAG] [--count N] [--filter EXPR] [--exclusive] [--password P]\n"
              "              [--wait SECONDS]",
     "Timing jobs, each printing one result line: scan sums a numeric field (--field, AMOUNT\n"
     "by default) over every record in natural order, walk does the same in the order of a\n"
     "tag, seek looks up --count (100000) keys of records picked at random in a tag and reads\n"
     "each record found (exit 1 when one is missing), count counts the records of --filter,\n"
     "and append creates TABLE (NAME C 20, CITY C 15, AGE N 5, BORN D, AMOUNT N 12 2) with\n"
     "--count (1000000) generated records.\n"
     "\n"
     "The jobs open the table shared, as a program beside others does, so every step takes the\n"
     "index lock and looks for other programs' changes; --exclusive holds the table and its\n"
     "index files for this job alone (nothing is written), as a program working alone does." NVT_WAIT_HELP,
     2, 2, false,
     {{"field", true, false}, kIndexes, {"order", true, false}, {"count", true, false}, {"filter", true, false},
      {"exclusive", false, false}, kPassword, kWait}},
};

#undef NVT_WAIT_HELP
#undef NVT_CODEPAGE_HELP

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
    s << "\n'norvane COMMAND --help' or 'norvane help COMMAND' describes one command, 'norvane\n"
         "--version' prints the version. Exit status: 0 done, 1 seek found nothing or check found\n"
         "problems, 2 failure (with a one-line message on stderr).\n";
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
