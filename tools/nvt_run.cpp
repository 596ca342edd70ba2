#include <exception>

#include "nv6_glbl.h"
#include "nvt_table.h"
#include "nvt_tool.h"

namespace {

using Command = int (*)(const NvtArgs&, NvtIo&);

Command Handler(std::string_view name) {
    struct Entry {
        const char* name;
        Command run;
    };
    static const Entry kHandlers[] = {
        {"info", NvtInfo},       {"dump", NvtDump},     {"list", NvtList},     {"seek", NvtSeek},
        {"create", NvtCreate},   {"index", NvtIndex},   {"reindex", NvtReindex}, {"deltag", NvtDelTag},
        {"pack", NvtPack},       {"zap", NvtZap},       {"password", NvtPassword},
        {"export", NvtExport},   {"import", NvtImport}, {"check", NvtCheck},
    };
    for (const Entry& e : kHandlers)
        if (name == e.name) return e.run;
    return nullptr;
}

// Messages are one line: an engine text that spans lines is folded.
std::string OneLine(std::string text) {
    for (char& c : text)
        if (c == '\n' || c == '\r') c = ' ';
    return text;
}

}  // namespace

int NvtRun(const std::vector<std::string>& words, std::ostream& out, std::ostream& err, bool progress) {
    NvtIo io{out, err, progress};
    struct ProgressScope {
        explicit ProgressScope(std::ostream* err) { NvtSetProgressStream(err); }
        ~ProgressScope() { NvtSetProgressStream(nullptr); }
    } progressScope(progress ? &err : nullptr);
    try {
        if (words.empty()) throw NvtUsageError("no command given; see 'norvane --help'");
        const std::string& name = words.front();
        if (name == "--help" || name == "-h" || name == "help") {
            out << NvtGeneralHelp();
            return kNvtExitOk;
        }
        const NvtCommandDef* command = NvtFindCommand(name);
        Command run = Handler(name);
        if (!command || !run) throw NvtUsageError("unknown command '" + name + "'; see 'norvane --help'");
        NvtArgs args = NvtParse(*command, std::vector<std::string>(words.begin() + 1, words.end()));
        if (args.help) {
            out << NvtCommandHelp(*command);
            return kNvtExitOk;
        }
        int status = run(args, io);
        out.flush();
        return status;
    } catch (const NvtUsageError& e) {
        err << "norvane: " << OneLine(e.what()) << "\n";
    } catch (const std::exception& e) {
        err << "norvane: " << OneLine(e.what()) << "\n";
    } catch (...) {
        err << "norvane: unexpected failure\n";
    }
    out.flush();
    return kNvtExitError;
}
