// ambrik-inspect on Windows: the agent's status for a person or a monitoring
// check. (The data file decoders use POSIX temporary files and stay with the
// Linux build.)
#include <cstdio>
#include <string>

#include "tools/status_check.h"

int main(int argc, char** argv) {
    const std::string first = argc >= 2 ? argv[1] : "";
    if (first == "--status") return runStatusCommand(argc, argv);
    const bool help = first == "--help" || first == "-h";
    std::fputs("usage: ambrik-inspect --status [--json] [INSTALL_DIR]\n\n", help ? stdout : stderr);
    std::fputs(kStatusHelp, help ? stdout : stderr);
    return help ? 0 : kStatusUnknown;
}
