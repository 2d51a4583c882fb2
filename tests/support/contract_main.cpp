// main() of the contract tests: GoogleTest, or the child role that the tests
// start (see contract_child.h).
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#if defined(_WIN32)
#include <windows.h>
#else
#include <unistd.h>
#endif

#include "platform/env.h"
#include "platform/fs.h"
#include "platform/process.h"
#include "platform/service.h"
#include "platform/threads.h"
#include "tests/support/contract_child.h"
#include "tests/support/temp_folder.h"

namespace {

constexpr const char* kChildSwitch = "--contract-child";

void appendLine(const std::string& file, const std::string& line) {
    std::ofstream(pathFromUtf8(file), std::ios::binary | std::ios::app) << line << "\n";
}

platform::ServiceStatus pendingAgain() {
    platform::ServiceStatus late;
    late.serviceType = platform::kServiceWin32OwnProcess;
    late.currentState = platform::kServiceStopPending;
    late.checkPoint = 2;
    return late;
}

// A service as the agent runs one: the handler reports stop pending and
// signals the stop event, the service routine then reports stopped.
int runService(const std::string& statusFile) {
    const std::string name = "AmbrikContractService";
    const long rc = platform::startServiceCtrlDispatcher(name, [&] {
        platform::Event stop(true);
        const long registered = platform::registerServiceCtrlHandler(name, [&](std::uint32_t control) {
            appendLine(statusFile, "control " + std::to_string(control));
            if (control != platform::kServiceControlStop && control != platform::kServiceControlShutdown) return;
            platform::ServiceStatus pending;
            pending.serviceType = platform::kServiceWin32OwnProcess;
            pending.currentState = platform::kServiceStopPending;
            pending.checkPoint = 1;
            platform::setServiceStatus(pending);
            stop.set();
        });
        if (registered != 0) {
            appendLine(statusFile, "handler not registered " + std::to_string(registered));
            return;
        }
        platform::ServiceStatus running;
        running.serviceType = platform::kServiceWin32OwnProcess;
        running.currentState = platform::kServiceRunning;
        running.controlsAccepted = 1;
        platform::setServiceStatus(running);
        appendLine(statusFile, "running");
        stop.wait(-1);
        const platform::ServiceStatus last = platform::lastServiceStatus();
        appendLine(statusFile, "last " + std::to_string(last.currentState) + " " + std::to_string(last.checkPoint));
        platform::ServiceStatus stopped;
        stopped.serviceType = platform::kServiceWin32OwnProcess;
        stopped.currentState = platform::kServiceStopped;
        appendLine(statusFile, "stopped");
        platform::setServiceStatus(stopped);
    });
    appendLine(statusFile, "dispatcher returned " + std::to_string(rc));
    // A handler that reports late changes nothing any more.
    platform::setServiceStatus(pendingAgain());
    appendLine(statusFile, "after " + std::to_string(platform::lastServiceStatus().currentState));
    return rc == 0 ? 0 : 1;
}

// Ends with the exit code. A POSIX exit status keeps 8 bits: the full code
// also goes to the descriptor the process service names, as an installer
// that reports 3010 does there.
int exitWith(const std::string& text) {
    const long code = std::atol(text.c_str());
#if !defined(_WIN32)
    if (const auto fd = platform::getEnvironment("ORBISK_EXIT_CODE_FD")) {
        const std::string line = text + "\n";
        if (::write(std::atoi(fd->c_str()), line.data(), line.size()) < 0) return 121;
    }
#endif
    return static_cast<int>(code);
}

int runChild(const std::vector<std::string>& args) {
    if (args.size() == 2 && args[0] == "exit") return exitWith(args[1]);
    if ((args.size() == 1 || args.size() == 2) && args[0] == "block") {
        if (args.size() == 2) std::ofstream(pathFromUtf8(args[1])) << "up\n";
        // Ended by the test; one left behind by a failed test goes away
        // within the tests' time-out, so it never holds the runner's output.
        std::this_thread::sleep_for(std::chrono::seconds(60));
        return 0;
    }
    if (args.size() >= 4 && args[0] == "report") {
        std::string directory;
        platform::currentDirectory(&directory);
        std::string joined;
        for (std::size_t i = 4; i < args.size(); ++i) joined += args[i] + "|";
        std::ofstream(pathFromUtf8(args[1]), std::ios::binary)
            << directory << "\n"
            << platform::getEnvironment(args[3]).value_or("<unset>") << "\n"
            << joined << "\n";
        return std::atoi(args[2].c_str());
    }
    if (args.size() == 2 && args[0] == "service") return runService(args[1]);
    return 120;  // an unknown role
}

}  // namespace

std::filesystem::path selfProgram() {
#if defined(_WIN32)
    std::wstring buffer(MAX_PATH, L'\0');
    for (;;) {
        const DWORD n = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (n < buffer.size()) return std::filesystem::path(buffer.substr(0, n));
        buffer.resize(buffer.size() * 2);
    }
#else
    return std::filesystem::read_symlink("/proc/self/exe");
#endif
}

std::string childCommandLine(const std::vector<std::string>& words, const std::string& program) {
    std::string line = platform::quoteCommandWord(program.empty() ? utf8Path(selfProgram()) : program);
    line += " ";
    line += kChildSwitch;
    for (const auto& word : words) {
        line += ' ';
        line += platform::quoteCommandWord(word);
    }
    return line;
}

std::filesystem::path copySelfProgram(const std::filesystem::path& folder, const std::string& name) {
#if defined(_WIN32)
    const std::filesystem::path target = folder / (name + ".exe");
#else
    const std::filesystem::path target = folder / name;
#endif
    std::filesystem::copy_file(selfProgram(), target, std::filesystem::copy_options::overwrite_existing);
    return target;
}

int main(int argc, char** argv) {
    if (argc >= 2 && std::string(argv[1]) == kChildSwitch) {
        platform::blockStopSignals();  // the service role takes them through the dispatcher
        // The words as the platform split them: on Windows argv is the C
        // runtime's reading of the command line, which splits alike.
        return runChild(std::vector<std::string>(argv + 2, argv + argc));
    }
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
