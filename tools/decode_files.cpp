// ambrik-inspect: prints the agent's data files as JSON lines.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "testserver/decoders/decoders.h"
#include "tools/journal_dump.h"
#include "tools/server_summary.h"
#include "tools/status_check.h"
#include "platform/clock.h"

namespace {

const char* const kHelp =
    "usage: ambrik-inspect [--kind KIND] [--format FORMAT] FILE...\n"
    "\n"
    "Prints the agent's data files as JSON lines, one object per record, row or entry.\n"
    "The kind is taken from the file name (rawlogs, changeindex, aggregate, baseconfig,\n"
    "periodicconfig, newconfig, treeviewconfig, fimtrendfile, renameconfig, Volume-X.db,\n"
    "*.zip) or else from the content, unless --kind gives it:\n"
    "  rawlogs, changeindex, aggregate, attributes, treeview, trend, renameconfig,\n"
    "  backup, zip\n"
    "--format forces the row format of text rows: enclosed, plain or tab (default:\n"
    "detected from the first row).\n"
    "With several files, a line {\"file\":NAME,\"kind\":KIND} precedes each one.\n"
    "A truncated or corrupt file ends with a line {\"error\":TEXT,\"offset\":N}, and\n"
    "the same text goes to stderr. Exit status: 0 all decoded, 1 a file did not\n"
    "decode, 2 bad usage or unreadable file.\n"
    "\n"
    "ambrik-inspect --journal FILE prints a change journal file (<letter>.journal of the\n"
    "journal folder): its header, then every record from FirstUsn to NextUsn.\n"
    "ambrik-inspect --usn-buffer FILE prints a saved journal read or enumeration output\n"
    "(the 8-byte next USN or reference, then USN_RECORD_V2 records); --usn-records FILE\n"
    "the same without the 8-byte head.\n"
    "\n"
    "ambrik-inspect --summary DIR summarises an orbisk-testserver output folder:\n"
    "the requests by kind, and the uploads' events per host and hour.\n"
    "\n"
    "\n";

bool readWhole(const std::string& path, std::string& bytes) {
    std::error_code ec;
    if (std::filesystem::is_directory(path, ec)) return false;
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::ostringstream content;
    content << in.rdbuf();
    bytes = content.str();
    return !in.bad();
}

}  // namespace

int main(int argc, char** argv) {
    std::optional<decoders::FileKind> kind;
    decoders::JsonOptions options;
    std::vector<std::string> files;
    if (argc >= 2 && std::string(argv[1]) == "--status") return runStatusCommand(argc, argv);
    if (argc == 3 && std::string(argv[1]) == "--summary") {
        std::string summary;
        bool ok = summariseServerOutput(argv[2], summary);
        std::fputs(summary.c_str(), ok ? stdout : stderr);
        return ok ? 0 : 2;
    }
    if (argc == 3 && (std::string(argv[1]) == "--journal" || std::string(argv[1]) == "--usn-buffer" ||
                      std::string(argv[1]) == "--usn-records")) {
        const std::string mode = argv[1];
        std::string bytes, out, error;
        if (!readWhole(argv[2], bytes)) {
            std::fprintf(stderr, "ambrik-inspect: cannot read %s (missing, unreadable or a folder)\n", argv[2]);
            return 2;
        }
        const bool ok = mode == "--journal" ? journalFileToJsonLines(bytes, out, error)
                                            : usnBufferToJsonLines(bytes, mode == "--usn-records", out, error);
        if (!ok) out += "{\"error\":" + decoders::jsonString(error) + "}\n";
        std::fwrite(out.data(), 1, out.size(), stdout);
        if (!ok) std::fprintf(stderr, "ambrik-inspect: %s: %s\n", argv[2], error.c_str());
        return ok ? 0 : 1;
    }
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            std::fputs((kHelp + std::string(kStatusHelp)).c_str(), stdout);
            return 0;
        }
        if (arg == "--kind" || arg == "--format") {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "ambrik-inspect: %s needs a value\n", arg.c_str());
                return 2;
            }
            const std::string value = argv[++i];
            if (arg == "--kind") {
                kind = decoders::fileKindFromName(value);
                if (!kind) {
                    std::fprintf(stderr, "ambrik-inspect: unknown kind %s (see --help)\n", value.c_str());
                    return 2;
                }
            } else {
                options.rowFormat = decoders::rowFormatFromName(value);
                if (!options.rowFormat) {
                    std::fprintf(stderr, "ambrik-inspect: unknown row format %s\n", value.c_str());
                    return 2;
                }
            }
            continue;
        }
        if (arg.size() > 1 && arg[0] == '-') {
            std::fprintf(stderr, "ambrik-inspect: unknown option %s (see --help)\n", arg.c_str());
            return 2;
        }
        files.push_back(arg);
    }
    if (files.empty()) {
        std::fputs((kHelp + std::string(kStatusHelp)).c_str(), stderr);
        return 2;
    }

    int status = 0;
    for (const std::string& file : files) {
        std::string bytes;
        if (!readWhole(file, bytes)) {
            std::fprintf(stderr, "ambrik-inspect: cannot read %s (missing, unreadable or a folder)\n", file.c_str());
            return 2;
        }
        const decoders::FileKind k = kind ? *kind : decoders::detectKind(file, bytes);
        std::string out;
        if (files.size() > 1)
            out = "{\"file\":" + decoders::jsonString(file) + ",\"kind\":\"" + decoders::fileKindName(k) + "\"}\n";
        const decoders::DecodeError e = k == decoders::FileKind::Zip ? decoders::zipToJsonLines(file, out, options)
                                                                     : decoders::toJsonLines(k, bytes, out, options);
        std::fwrite(out.data(), 1, out.size(), stdout);
        if (e) {
            std::fprintf(stderr, "ambrik-inspect: %s: %s %s\n", file.c_str(), decoders::fileKindName(k),
                         e.describe().c_str());
            status = 1;
        }
    }
    return status;
}
