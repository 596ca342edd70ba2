#include <exception>

#include "nv6_cpag.h"
#include "nv6_glbl.h"
#include "nv_alias.h"
#include "nvt_files.h"
#include "nvt_table.h"
#include "nvt_tool.h"

#ifndef NORVANE_VERSION
#define NORVANE_VERSION "unknown"
#endif

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
        {"export", NvtExport},   {"import", NvtImport}, {"check", NvtCheck},  {"bench", NvtBench},
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

// The engine says only "Access denied" for a file it could not open; the reason is told
// instead when one can be found.
std::string Explained(const std::string& text, bool write) {
    std::string file;
    // An index file whose lock another program kept through every retry.
    if (NvtMessageFile(text, TnvMsg::CannotLockFile, file)) return NvtRefusalText(NvtRefusal::Locked, file);
    if (!NvtMessageFile(text, TnvMsg::AccessDenied, file)) return text;
    std::string reason = NvtRefusalText(NvtWhyRefused(file, write), file);
    return reason.empty() ? text : reason;
}

}  // namespace

int NvtRun(const std::vector<std::string>& words, std::ostream& out, std::ostream& err, bool progress,
           std::istream* in) {
    NvtIo io{out, err, progress, in};
    // Unmarked tables are read in the default pages the program uses too.
    NvLoadConfiguredCodePages();
    NvtSetTextPage(nvlocale::DefaultPages().oem);
    struct ProgressScope {
        explicit ProgressScope(std::ostream* err) { NvtSetProgressStream(err); }
        ~ProgressScope() { NvtSetProgressStream(nullptr); }
    } progressScope(progress ? &err : nullptr);
    const NvtCommandDef* command = nullptr;
    // Results that did not reach their stream (a full disk) make the command a failure.
    auto written = [&](int status) {
        out.flush();
        if (out) return status;
        err << "norvane: could not write the output\n";
        return kNvtExitError;
    };
    try {
        if (words.empty()) throw NvtUsageError("no command given; see 'norvane --help'");
        const std::string& name = words.front();
        if (name == "--version" || name == "version") {
            out << "norvane " << NORVANE_VERSION << "\n";
            return written(kNvtExitOk);
        }
        if (name == "--help" || name == "-h" || name == "help") {
            if (words.size() > 1 && name == "help") {
                const NvtCommandDef* topic = NvtFindCommand(words[1]);
                if (!topic) throw NvtUsageError("unknown command '" + words[1] + "'; see 'norvane --help'");
                out << NvtCommandHelp(*topic);
            } else {
                out << NvtGeneralHelp();
            }
            return written(kNvtExitOk);
        }
        command = NvtFindCommand(name);
        Command run = Handler(name);
        if (!command || !run) throw NvtUsageError("unknown command '" + name + "'; see 'norvane --help'");
        NvtArgs args = NvtParse(*command, std::vector<std::string>(words.begin() + 1, words.end()));
        if (args.help) {
            out << NvtCommandHelp(*command);
            return written(kNvtExitOk);
        }
        return written(run(args, io));
    } catch (const NvtUsageError& e) {
        err << "norvane: " << OneLine(e.what()) << "\n";
    } catch (const std::exception& e) {
        err << "norvane: " << OneLine(Explained(e.what(), command && command->writes)) << "\n";
    } catch (...) {
        err << "norvane: unexpected failure\n";
    }
    out.flush();
    return kNvtExitError;
}
