#include "wizard/command_line.h"

#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

#include "agent/settings/settings.h"
#include "common/log.h"
#include "common/registry_helpers.h"
#include "platform/env.h"

namespace {

const char* const kHelp =
    "Usage: confora [--unattended [OPTIONS]]\n"
    "\n"
    "Sets the Orbisk server connection of the agent in the registry\n"
    "(ServerName, ServerIPAddress, ServerDBType, ServerProtocol, ServerPort and\n"
    "AWS Instance). Without options it opens the settings dialog.\n"
    "\n"
    "  --unattended             no window: check and write the values given below\n"
    "  --server-name NAME       the server's host name (at most 50 characters)\n"
    "  --server-ip ADDRESS      the server's IPv4 address (at most 25 characters)\n"
    "  --db postgres|mysql|mssql       the server's database (default postgres)\n"
    "  --protocol http|https    default http\n"
    "  --port PORT              at most 19 characters (default 8400)\n"
    "  --aws yes|no             whether this machine is an AWS instance (default no)\n"
    "  --on-mismatch abort|ignore\n"
    "                           when the name does not resolve, the address has no\n"
    "                           host name, or the two do not match: abort (default;\n"
    "                           writes Installfail.txt in the install directory) or\n"
    "                           write the values as given\n"
    "  --help                   this text\n"
    "\n"
    "At least one of --server-name and --server-ip is needed. A name alone is\n"
    "stored with its first IPv4 address, an address alone with its host name.\n"
    "Options may also be written --option=VALUE; an empty --db, --protocol,\n"
    "--aws or --on-mismatch keeps its default, an empty --port is 8400.\n"
    "\n"
    "Exit codes: 0 written; 1 aborted (name/address check failed); 2 bad command\n"
    "line, empty or overlong field, or no display; 3 a registry value could not\n"
    "be written; 4 the registry cannot be read (nothing written). The dialog\n"
    "ends with 0 after OK and also after Abort (then Installfail.txt is in the\n"
    "install directory), with 5 when it is closed without OK, and with 3 and 4\n"
    "as above. Errors are one line on standard error; the steps go to\n"
    "Confora.log in the install directory's logs folder.\n";

struct Options {
    bool help = false;
    bool unattended = false;
    bool otherOptions = false;
    WizardInput input;
    MismatchChoice onMismatch = MismatchChoice::Abort;
};

int usageError(const std::string& message) {
    std::fprintf(stderr, "confora: %s (see confora --help)\n", message.c_str());
    return kExitUsage;
}

// Fills options from the command line; an error text when it is not valid.
std::optional<std::string> parse(int argc, char** argv, Options* options) {
    struct Valued {
        std::string_view name;
        std::vector<std::string_view> allowed;  // empty: any text
        std::string* target;
        bool seen;
    };
    std::string aws = "no";
    std::string mismatch = "abort";
    std::vector<Valued> valued{
        {"--server-name", {}, &options->input.serverName, false},
        {"--server-ip", {}, &options->input.serverIp, false},
        {"--db", {"postgres", "mysql", "mssql"}, &options->input.database, false},
        {"--protocol", {"http", "https"}, &options->input.protocol, false},
        {"--port", {}, &options->input.serverPort, false},
        {"--aws", {"yes", "no"}, &aws, false},
        {"--on-mismatch", {"abort", "ignore"}, &mismatch, false},
    };
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i] ? argv[i] : "";
        if (arg == "--help" || arg == "-h") {
            options->help = true;
            continue;
        }
        if (arg == "--unattended") {
            options->unattended = true;
            continue;
        }
        const std::size_t equals = arg.find('=');
        const std::string_view name = arg.substr(0, equals);
        Valued* option = nullptr;
        for (Valued& v : valued)
            if (v.name == name) option = &v;
        if (!option) return "unknown option \"" + std::string(arg) + "\"";
        std::string_view value;
        if (equals != std::string_view::npos) {
            value = arg.substr(equals + 1);
        } else if (i + 1 < argc && argv[i + 1]) {
            value = argv[++i];
        } else {
            return std::string(name) + " needs a value";
        }
        if (option->seen) return std::string(name) + " is given twice";
        option->seen = true;
        // An installer passes every option, empty when it was not given:
        // a choice left empty keeps its default.
        options->otherOptions = true;
        if (!option->allowed.empty() && value.empty()) continue;
        if (!option->allowed.empty()) {
            bool known = false;
            std::string choices;
            for (std::string_view a : option->allowed) {
                known = known || a == value;
                choices += (choices.empty() ? "" : ", ") + std::string(a);
            }
            if (!known) return std::string(name) + " takes one of " + choices + ", not \"" + std::string(value) + "\"";
        }
        *option->target = std::string(value);
    }
    options->input.aws = aws == "yes";
    options->onMismatch = mismatch == "ignore" ? MismatchChoice::Ignore : MismatchChoice::Abort;
    return std::nullopt;
}

// The registry cannot be read: said on standard error, nothing logged.
int registryUnreadable(const ConforaEnvironment& env) {
    std::fprintf(stderr, "confora: %s; nothing written\n", env.registryProblem.c_str());
    return kExitRegistryUnreadable;
}

// A bad unattended command line is also logged when the log's folder is
// known: an installer that runs confora keeps no standard error.
int unattendedUsageError(const std::string& message, const ConforaEnvironment& env) {
    if (env.registryProblem.empty()) {
        OpenConforaLog(env.installDir);
        LogEssential("\n Confora running unattended: %s ", message.c_str());
        CloseConforaLog();
    }
    return usageError(message);
}

int runUnattended(const Options& options, const ConforaEnvironment& env) {
    if (auto tooLong = CheckFieldLengths(options.input)) return unattendedUsageError(*tooLong, env);
    if (options.input.serverName.empty() && options.input.serverIp.empty())
        return unattendedUsageError(
            "give --server-name or --server-ip (server name and address cannot both be empty)", env);
    if (!env.registryProblem.empty()) return registryUnreadable(env);

    OpenConforaLog(env.installDir);
    LogEssential("\n Confora running unattended ");
    const MismatchChoice onMismatch = options.onMismatch;
    const OkOutcome outcome = PressOk(options.input, env, [onMismatch] {
        LogEssential("\n Server Name/IP check failed: answering %s ",
                     onMismatch == MismatchChoice::Ignore ? "Ignore" : "Abort");
        return onMismatch;
    });
    CloseConforaLog();

    switch (outcome.result) {
        case OkResult::EmptyInput:
        case OkResult::Retry:
            return usageError("server name and address cannot both be empty");
        case OkResult::Aborted:
            std::fprintf(stderr,
                         "confora: server name/address check failed: %s; nothing written, %s "
                         "(--on-mismatch ignore writes the values as given)\n",
                         outcome.resolutionProblem.c_str(),
                         outcome.installFailWritten ? ("installation marked failed in " + outcome.installFailPath).c_str()
                                                    : ("could not write " + outcome.installFailPath).c_str());
            return kExitAborted;
        case OkResult::Written:
            break;
    }
    if (!outcome.failedWrites.empty()) {
        std::fprintf(stderr, "confora: %s\n", WriteFailureText(outcome).c_str());
        return kExitRegistryWrite;
    }
    const WizardInput& in = options.input;
    std::printf("confora: written ServerName=%s ServerIPAddress=%s ServerDBType=%s ServerProtocol=%s "
                "ServerPort=%s AWS Instance=%s\n",
                outcome.writtenName.c_str(), outcome.writtenIp.c_str(), in.database.c_str(), in.protocol.c_str(),
                in.serverPort.empty() ? kDefaultServerPort : in.serverPort.c_str(), in.aws ? "yes" : "no");
    return kExitSuccess;
}

bool displayAvailable() {
#if defined(_WIN32)
    return true;
#else
    const std::optional<std::string> display = platform::getEnvironment("DISPLAY");
    return display && !display->empty();
#endif
}

}  // namespace

int RunConfora(int argc, char** argv, const DialogRunner& dialog, const ConforaEnvironment* givenEnv) {
    Options options;
    const std::optional<std::string> error = parse(argc, argv, &options);
    if (error && !options.unattended) return usageError(*error);
    if (options.help && !error) {
        std::fputs(kHelp, stdout);
        return kExitSuccess;
    }
    ConforaEnvironment env;
    if (givenEnv) {
        env = *givenEnv;
    } else {
        // The install directory, and with it the log folder, comes from a
        // registry that can be read, or from nowhere.
        env.registryProblem = RegistryReadProblem(kServerKeyPath, kAgentKeyPath);
        if (env.registryProblem.empty()) env.installDir = ConforaInstallDir();
    }

    if (error) return unattendedUsageError(*error, env);
    if (options.unattended) return runUnattended(options, env);
    if (options.otherOptions) return usageError("the settings options need --unattended");
    const bool canShow = dialog && displayAvailable();
    if (!canShow && !env.registryProblem.empty()) return registryUnreadable(env);
    if (!dialog)
        return usageError("this build has no settings dialog; run confora --unattended with the settings");
    if (!displayAvailable())
        return usageError("no display to open the settings dialog on (DISPLAY is not set); "
                          "run confora --unattended --server-name NAME ... instead");
    return dialog(env);
}
