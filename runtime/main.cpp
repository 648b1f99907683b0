/*
 * trevane-broker: the stand-in broker as a program. Reads a flow file, deploys the flow
 * (loading the plug-in libraries it names), runs it until SIGINT or SIGTERM, then stops
 * its input nodes, lets the messages in flight finish and deletes every node context.
 * The broker log goes to standard error and, with --log, to a file as well. With --http
 * it also serves the operator's console (console.h) while the flow runs.
 */
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <mutex>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include "broker/host.h"
#include "runtime/builtin.h"
#include "runtime/commandline.h"
#include "runtime/console.h"
#include "runtime/flowfile.h"
#include "runtime/runtime.h"

namespace {

constexpr int EXIT_DEPLOY = 1;
constexpr int EXIT_USAGE = 2;
constexpr int EXIT_STOP_WAIT = 3;

const char *const USAGE = R"(Usage: trevane-broker [OPTIONS] FLOW_FILE

Deploys the message flow described by FLOW_FILE (YAML) and runs it until it receives
SIGINT or SIGTERM. Then the input nodes stop taking messages, the messages in flight
finish, and every node context is deleted. A second signal, or a stop that takes longer
than the stop wait, ends the program at once (messages in flight go back to their
queues).

Options:
  --broker NAME            broker name the nodes are told (default TREVANE_BROKER)
  --execution-group NAME   execution group name the nodes are told (default "default")
  --queue-manager NAME     queue manager to use instead of the flow file's queueManager
  --instances N            additional instances instead of the flow file's
                           additionalInstances (the flow runs on N+1 threads)
  --plugin-path DIR        directory in which bare library names of the flow file are
                           looked up; may be given several times (then come
                           $TREVANE_PLUGIN_PATH, the flow file's directory and the
                           installation's plug-in directory, ../lib/trevane/plugins from
                           this program's directory)
  --catalogues DIR         directory of the message catalogues (<source>.txt); default
                           $TREVANE_CATALOGUE_PATH, else the installation's catalogues
                           (../share/trevane/catalogues from the broker library's directory)
  --log FILE               append the broker log to FILE as well as to standard error
  --ready-file FILE        once the flow runs, write FILE holding the process id; it is
                           removed when the broker stops
  --graph FILE             write the deployed flow as a Graphviz DOT diagram ('-' for
                           standard output)
  --check                  deploy the flow (and write --graph), then delete it and end
                           without taking any message
  --stop-wait SECONDS      longest wait for the flow to stop after the signal, 1-3600
                           (default 30)
  --http [ADDRESS:]PORT    serve the operator's console while the flow runs: the flow's
                           picture with live counters at /, Prometheus metrics at
                           /metrics, health at /healthz. ADDRESS defaults to 127.0.0.1
                           (loopback); PORT 0 picks a free port. Off by default
  -h, --help               show this text

A value follows its option as the next word or after '=' (--instances=2); a long option
may be shortened to any prefix that names no other option; '--' ends the options.

The log line "Flow '<name>' is ready" tells that the flow takes messages; with --http a
line before it gives the console's address ("The console of flow '<name>' is at
http://...").
Exit status: 0 stopped normally, 1 the flow could not be deployed or started,
2 wrong command line, 3 the flow did not stop within the stop wait, 128+N ended by a
second signal N.
)";

struct Options {
    runtime::RuntimeOptions runtime;
    std::string flowFile;
    std::string logFile;
    std::string readyFile;
    std::string graphFile;
    std::string catalogues;
    bool check = false;
    long stopWait = 30; /* seconds */
    bool http = false;
    runtime::ConsoleOptions console;
};

#ifndef TREVANE_PLUGIN_RELATIVE_DIR
#define TREVANE_PLUGIN_RELATIVE_DIR "../lib/trevane/plugins"
#endif

/* The installation's plug-in directory, found from this program's own file: bin/../lib/
   trevane/plugins wherever the installed tree was put. Empty for the program in its
   build tree (which has no such directory) and when the program's file cannot be read. */
std::string defaultPluginDirectory() {
    std::string self(4096, '\0');
    ssize_t n = ::readlink("/proc/self/exe", self.data(), self.size() - 1);
    if (n <= 0 || static_cast<size_t>(n) >= self.size() - 1) {
        return {}; /* unreadable, or possibly cut short */
    }
    self.resize(static_cast<size_t>(n));
    std::string directory = self.substr(0, self.rfind('/'));
#ifdef TREVANE_BUILD_PROGRAM_DIR
    if (directory == TREVANE_BUILD_PROGRAM_DIR) {
        return {};
    }
#endif
    return directory + "/" + TREVANE_PLUGIN_RELATIVE_DIR;
}

[[noreturn]] void usageError(const std::string &message) {
    std::fprintf(stderr, "trevane-broker: %s\nTry 'trevane-broker --help'.\n", message.c_str());
    std::exit(EXIT_USAGE);
}

Options parse(int argc, char **argv) {
    Options options;
    cmdline::CommandLine line;
    try {
        line = cmdline::parse(std::vector<std::string>(argv + 1, argv + argc),
                              runtime::BROKER_OPTIONS);
    } catch (const cmdline::UsageError &e) {
        usageError(e.what());
    }
    // Help wins over a wrong value of another option.
    if (cmdline::given(line, "help")) {
        std::fputs(USAGE, stdout);
        std::exit(0);
    }
    for (const cmdline::Given &option : line.options) {
        const std::string &name = option.name;
        const std::string &text = option.value;
        if (name == "broker") {
            options.runtime.brokerName = text;
        } else if (name == "execution-group") {
            options.runtime.executionGroup = text;
        } else if (name == "queue-manager") {
            options.runtime.queueManager = text;
        } else if (name == "instances") {
            char *end = nullptr;
            errno = 0;
            long n = std::strtol(text.c_str(), &end, 10);
            if (text.empty() || *end != '\0' || errno != 0 || n < 0 ||
                n > runtime::MAX_ADDITIONAL_INSTANCES) {
                usageError("--instances takes a whole number from 0 to " +
                           std::to_string(runtime::MAX_ADDITIONAL_INSTANCES) + ", not '" + text +
                           "'");
            }
            options.runtime.additionalInstances = static_cast<int>(n);
        } else if (name == "plugin-path") {
            options.runtime.pluginPath.push_back(text);
        } else if (name == "catalogues") {
            options.catalogues = text;
        } else if (name == "log") {
            options.logFile = text;
        } else if (name == "ready-file") {
            options.readyFile = text;
        } else if (name == "graph") {
            options.graphFile = text;
        } else if (name == "stop-wait") {
            char *end = nullptr;
            errno = 0;
            long n = std::strtol(text.c_str(), &end, 10);
            if (text.empty() || *end != '\0' || errno != 0 || n < 1 || n > 3600) {
                usageError("--stop-wait takes a whole number from 1 to 3600, not '" + text + "'");
            }
            options.stopWait = n;
        } else if (name == "check") {
            options.check = true;
        } else if (name == "http") {
            std::string problem;
            if (!runtime::parseListenAddress(text, options.console, problem)) {
                usageError("--http: " + problem);
            }
            options.http = true;
        }
    }
    if (line.operands.empty()) {
        usageError("no flow file given");
    }
    if (line.operands.size() > 1) {
        usageError("only one flow file can be given ('" + line.operands[0] + "' and '" +
                   line.operands[1] + "')");
    }
    options.flowFile = line.operands[0];
    return options;
}

// The log file receives the same lines as standard error.
void addLogFile(const std::string &path) {
    static std::mutex mutex;
    static FILE *file = nullptr;
    file = std::fopen(path.c_str(), "a");
    if (file == nullptr) {
        throw runtime::DeployError("cannot open the log file '" + path +
                                   "': " + std::strerror(errno));
    }
    broker::addLogHook([](const broker::LogEntry &entry) {
        std::string line = broker::formatLogLine(entry) + "\n";
        std::lock_guard lock(mutex);
        std::fwrite(line.data(), 1, line.size(), file);
        std::fflush(file);
    });
}

void writeGraph(const runtime::DeployedFlow &flow, const std::string &path) {
    if (path == "-") {
        flow.writeGraph(std::cout);
        std::cout.flush();
        return;
    }
    std::ofstream out(path);
    flow.writeGraph(out);
    out.close();
    if (!out) {
        throw runtime::DeployError("cannot write the graph file '" + path + "'");
    }
}

// Written under a temporary name and renamed, so a reader never sees half a file.
void writeReadyFile(const std::string &path) {
    std::string temporary = path + ".tmp";
    {
        std::ofstream out(temporary);
        out << ::getpid() << "\n";
        out.close();
        if (!out) {
            throw runtime::DeployError("cannot write the ready file '" + path + "'");
        }
    }
    if (std::rename(temporary.c_str(), path.c_str()) != 0) {
        throw runtime::DeployError("cannot write the ready file '" + path +
                                   "': " + std::strerror(errno));
    }
}

} // namespace

int main(int argc, char **argv) {
    Options options = parse(argc, argv);
    if (std::string directory = defaultPluginDirectory(); !directory.empty()) {
        options.runtime.defaultPluginPath.push_back(directory);
    }

    // Signals are taken by sigwait only; every thread made from here on inherits the mask.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    // A console client that goes away mid-answer must not end the broker.
    std::signal(SIGPIPE, SIG_IGN);

    std::unique_ptr<runtime::DeployedFlow> flow;
    std::unique_ptr<runtime::Console> console;
    try {
        if (!options.catalogues.empty()) {
            broker::setCatalogueDirectory(options.catalogues);
        }
        if (!options.logFile.empty()) {
            addLogFile(options.logFile);
        }
        runtime::FlowDefinition definition = runtime::parseFlowFile(options.flowFile);
        flow = runtime::DeployedFlow::deploy(definition, options.runtime);
        if (!options.graphFile.empty()) {
            writeGraph(*flow, options.graphFile);
        }
        if (options.check) {
            flow->undeploy();
            return 0;
        }
        if (options.http) {
            console = std::make_unique<runtime::Console>(*flow, options.console);
            const std::string &name = flow->definition().name;
            runtime::runtimeLog(
                CCI_LOG_INFORMATION, __FILE__, __LINE__, "main", runtime::MSG_CONSOLE,
                "The console of flow '" + name + "' is at " + console->url() + " (metrics at " +
                    console->url() + "metrics, health at " + console->url() + "healthz)",
                {name, console->url()});
        }
        flow->start();
        if (console != nullptr) {
            console->setPhase(runtime::Console::Phase::Running);
        }
        if (!options.readyFile.empty()) {
            writeReadyFile(options.readyFile);
        }
    } catch (const std::exception &e) {
        std::fprintf(stderr, "trevane-broker: %s\n", e.what());
        console.reset();
        flow.reset();
        return EXIT_DEPLOY;
    }

    int received = 0;
    sigwait(&signals, &received);
    // Whatever the nodes do, the broker ends within the stop wait.
    std::thread([signals, wait = options.stopWait] {
        // sigtimedwait may end early (EINTR): wait out what is left of the stop wait.
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(wait);
        int again = -1;
        for (auto left = until - std::chrono::steady_clock::now();
             again <= 0 && left > std::chrono::nanoseconds(0);
             left = until - std::chrono::steady_clock::now()) {
            const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
            timespec limit{static_cast<time_t>(ns / 1000000000),
                           static_cast<long>(ns % 1000000000)};
            again = sigtimedwait(&signals, nullptr, &limit);
            if (again < 0 && errno != EINTR && errno != EAGAIN) {
                std::this_thread::sleep_for(
                    std::min<std::chrono::nanoseconds>(left, std::chrono::milliseconds(100)));
            }
        }
        if (again > 0) {
            std::fprintf(stderr, "trevane-broker: second signal (%s): ending at once\n",
                         strsignal(again));
            std::_Exit(128 + again);
        }
        std::fprintf(stderr,
                     "trevane-broker: the flow did not stop within %ld s: ending at once "
                     "(messages in flight go back to their queues)\n",
                     wait);
        std::_Exit(EXIT_STOP_WAIT);
    }).detach();
    if (console != nullptr) {
        console->setPhase(runtime::Console::Phase::Stopping); // /healthz answers 503 now
    }
    flow->undeploy();
    if (console != nullptr) {
        console->stop();
    }
    if (!options.readyFile.empty()) {
        std::remove(options.readyFile.c_str());
    }
    return 0;
}
