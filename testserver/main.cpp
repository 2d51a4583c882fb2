// orbisk-testserver: the stand-in Orbisk server for tests and the demo.
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "testserver/server.h"

namespace {

const char* const kHelp =
    "usage: orbisk-testserver [options]\n"
    "\n"
    "Answers the agent's requests under /event/ on 127.0.0.1 from the files of a\n"
    "scenario folder, keeps and decodes every upload, and logs every request.\n"
    "\n"
    "  --scenario DIR      scenario folder (default: " TESTSERVER_DEFAULT_SCENARIO ")\n"
    "  --http-port N       HTTP port; 0 picks a free one, -1 disables (default 0)\n"
    "  --https-port N      HTTPS port; 0 picks a free one, -1 disables (default 0)\n"
    "  --control-port N    the listener for /control/, never refused; 0 picks a free one\n"
    "                      (default -1: no control). /control/ is not served on the\n"
    "                      HTTP and HTTPS ports.\n"
    "  --control-token-file FILE  the token control requests must carry in the\n"
    "                      X-Control-Token header, read from FILE (first line); without\n"
    "                      it a random token is made and printed at start\n"
    "  --cert FILE         HTTPS certificate (PEM); with --key. Without both, a\n"
    "  --key FILE          self-signed one for 127.0.0.1 is made and its certificate\n"
    "                      written to OUTPUT/server-cert.pem\n"
    "  --output DIR        uploads and the request log go here (default testserver-out)\n"
    "  --log FILE          request log (default OUTPUT/requests.log): one line per\n"
    "                      request on arrival, \"<UTC time> <METHOD> <target>\"\n"
    "  --help              this text\n"
    "\n"
    "Once listening it prints, one per line and flushed: http_port=N, https_port=N,\n"
    "control_port=N (-1 when disabled), cert_file=PATH, control_token=HEX (a random\n"
    "one only, never one read from a file), then \"ready\". It stops on SIGTERM or SIGINT.\n"
    "\n"
    "Control requests (control listener only, header X-Control-Token; parameters in\n"
    "the query string):\n"
    "  POST   /control/update?type=Host&id=17    queue an SLUPDATE row (more rows as\n"
    "                                            \"TYPE ID\" body lines); the next update\n"
    "                                            request takes all queued rows, once\n"
    "  POST   /control/file?name=F  (body)       serve the body as scenario file F\n"
    "  DELETE /control/file?name=F               serve F from the folder again\n"
    "  POST   /control/status?pattern=P&code=N[&count=K][&withbody=1]  answer status N\n"
    "                                            (body: the request body when it is not\n"
    "                                            empty or withbody is given; sent chunked\n"
    "                                            in M pieces with &chunks=M, &pause=MS\n"
    "                                            apart, default 20) to the next K\n"
    "                                            requests whose target contains P\n"
    "                                            (count omitted or \"all\": every one)\n"
    "  POST   /control/delay?pattern=P&ms=N[&count=K]  delay them N ms (-1: hold until\n"
    "                                            DELETE /control/delay)\n"
    "  DELETE /control/status, /control/delay    drop those rules (releases held ones)\n"
    "  POST   /control/refuse[?ms=N][&listener=http|https|all]  close the listening\n"
    "                                            sockets for N ms (default: until accept)\n"
    "  POST   /control/accept                    listen again now\n"
    "  POST   /control/reset                     drop rules, swapped files, queued rows\n"
    "  GET    /control/ports                     the ports, as printed at start\n";

bool parsePort(const char* text, int& port) {
    char* end = nullptr;
    const long v = std::strtol(text, &end, 10);
    if (!end || *end != '\0' || v < -1 || v > 65535) return false;
    port = static_cast<int>(v);
    return true;
}

bool readToken(const char* path, std::string& token) {
    std::FILE* f = std::fopen(path, "r");
    if (!f) return false;
    char line[512] = {};
    const bool got = std::fgets(line, sizeof line, f) != nullptr;
    std::fclose(f);
    token = got ? line : "";
    while (!token.empty() && (token.back() == '\n' || token.back() == '\r')) token.pop_back();
    return !token.empty();
}

}  // namespace

int main(int argc, char** argv) {
    testserver::ServerOptions options;
    options.scenarioDir = TESTSERVER_DEFAULT_SCENARIO;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            std::fputs(kHelp, stdout);
            return 0;
        }
        if (i + 1 >= argc) {
            std::fprintf(stderr, "orbisk-testserver: %s needs a value (see --help)\n", arg.c_str());
            return 2;
        }
        const char* value = argv[++i];
        bool ok = true;
        if (arg == "--scenario") options.scenarioDir = value;
        else if (arg == "--http-port") ok = parsePort(value, options.httpPort);
        else if (arg == "--https-port") ok = parsePort(value, options.httpsPort);
        else if (arg == "--control-port") ok = parsePort(value, options.controlPort);
        else if (arg == "--control-token-file") ok = readToken(value, options.controlToken);
        else if (arg == "--cert") options.certFile = value;
        else if (arg == "--key") options.keyFile = value;
        else if (arg == "--output") options.outputDir = value;
        else if (arg == "--log") options.logFile = value;
        else {
            std::fprintf(stderr, "orbisk-testserver: unknown option %s (see --help)\n", arg.c_str());
            return 2;
        }
        if (!ok) {
            std::fprintf(stderr, "orbisk-testserver: bad value %s for %s\n", value, arg.c_str());
            return 2;
        }
    }

    // The signals are taken by sigwait below, so every thread blocks them.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    signal(SIGPIPE, SIG_IGN);

    const bool tokenGiven = !options.controlToken.empty();
    testserver::Server server(options);
    if (!server.start()) {
        std::fprintf(stderr, "orbisk-testserver: %s\n", server.error().c_str());
        return 1;
    }
    std::printf("http_port=%d\nhttps_port=%d\ncontrol_port=%d\ncert_file=%s\n", server.httpPort(),
                server.httpsPort(), server.controlPort(), server.certFile().c_str());
    // The random token goes only to whoever started the server and reads its output.
    if (server.controlPort() >= 0 && !tokenGiven) std::printf("control_token=%s\n", server.controlToken().c_str());
    std::printf("ready\n");
    std::fflush(stdout);

    int signalNumber = 0;
    sigwait(&stopSignals, &signalNumber);
    server.stop();
    return 0;
}
