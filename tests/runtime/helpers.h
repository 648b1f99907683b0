// Helpers of the flow runtime's tests: a temporary directory, a queue manager of its own
// per test, one-line puts and gets that report the reason code's name, flow files written
// from text, and child processes with their output in files. Used by tests/runtime only.
#ifndef TESTS_RUNTIME_HELPERS_H
#define TESTS_RUNTIME_HELPERS_H

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <ftw.h>
#include <functional>
#include <spawn.h>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "messaging/admin.h"
#include "trevane/mq.h"

extern char **environ;

namespace rttest {

class TempDir {
public:
    TempDir() {
        char pattern[] = "/tmp/trevane-runtime-test-XXXXXX";
        const char *made = ::mkdtemp(pattern);
        path_ = made == nullptr ? "" : made;
    }
    ~TempDir() {
        if (!path_.empty() && std::getenv("KEEP_TEST_FILES") == nullptr) {
            ::nftw(
                path_.c_str(),
                [](const char *file, const struct stat *, int, FTW *) { return ::remove(file); },
                16, FTW_DEPTH | FTW_PHYS);
        }
    }
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    const std::string &path() const { return path_; }
    std::string file(const std::string &name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

inline void writeFile(const std::string &path, const std::string &text) {
    std::ofstream out(path);
    out << text;
}

// The demonstration flow (input I.Q, a statement on a missing table, the TrevaneNode on
// the database node's failure, output OUT.Q) on `queueManager` with its database under
// $RT_TEST_DIR.
inline std::string demoFlowText(const std::string &queueManager, int additionalInstances) {
    return "queueManager: " + queueManager + "\nlibraries: [libtrevane.so]\n" +
           "additionalInstances: " + std::to_string(additionalInstances) + R"(
nodes:
  - {name: In, class: MQInput, properties: {queueName: I.Q, waitInterval: 50}}
  - name: Db
    class: Database
    properties: {dataSource: "${RT_TEST_DIR}/test.db", statement: SELECT * FROM MISSING}
  - {name: Code, class: TrevaneNode, properties: {CopyValueTo: Root.outer.Status}}
  - {name: Out, class: MQOutput, properties: {queueName: OUT.Q}}
connections:
  - In.out -> Db.in
  - Db.failure -> Code.in
  - Code.out -> Out.in
)";
}

inline std::string readFile(const std::string &path) {
    std::ifstream in(path);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

inline std::string reasonText(MQLONG reason) {
    return std::string(mqReasonName(reason)) + " (" + std::to_string(reason) + ")";
}

// A queue manager in a directory of its own (TREVANE_MQ_DIR is set for the test process
// and the processes it starts); kept in the PostgreSQL database that `postgres` names
// (libpq's connection text) when it is given, else in an SQLite file.
class QueueManager {
public:
    explicit QueueManager(std::string name, const std::string &directory,
                          const std::string &postgres = {})
        : name_(std::move(name)) {
        ::setenv(MQ_DIRECTORY_VARIABLE, directory.c_str(), 1);
        char detail[512] = "";
        MQLONG reason = postgres.empty()
                            ? mqCreateQueueManager(name_.c_str(), detail, sizeof detail)
                            : mqCreateQueueManagerPostgres(name_.c_str(), postgres.c_str(), detail,
                                                           sizeof detail);
        EXPECT_EQ(reason, MQRC_NONE) << reasonText(reason) << ": " << detail;
    }
    const std::string &name() const { return name_; }

    void define(const std::string &queue) const {
        char detail[512] = "";
        MQLONG reason = mqDefineQueue(name_.c_str(), queue.c_str(), nullptr, detail, sizeof detail);
        ASSERT_EQ(reason, MQRC_NONE) << queue << ": " << reasonText(reason) << ": " << detail;
    }

    // Puts persistent messages outside syncpoint, one connection for all.
    void put(const std::string &queue, const std::vector<std::string> &bodies) const {
        MQHCONN hconn = connect();
        MQHOBJ hobj = open(hconn, queue, MQOO_OUTPUT);
        for (const std::string &body : bodies) {
            MQMD md = MQMD_DEFAULT;
            md.Persistence = MQPER_PERSISTENT;
            MQPMO pmo = MQPMO_DEFAULT;
            pmo.Options = MQPMO_NO_SYNCPOINT | MQPMO_NEW_MSG_ID;
            MQLONG cc = 0, reason = 0;
            MQPUT(hconn, hobj, &md, &pmo, static_cast<MQLONG>(body.size()), body.data(), &cc,
                  &reason);
            EXPECT_EQ(reason, MQRC_NONE) << "MQPUT " << queue << ": " << reasonText(reason);
        }
        disconnect(hconn);
    }
    void put(const std::string &queue, const std::string &body) const {
        put(queue, std::vector<std::string>{body});
    }

    // Takes every message now on the queue.
    std::vector<std::string> takeAll(const std::string &queue) const {
        MQHCONN hconn = connect();
        MQHOBJ hobj = open(hconn, queue, MQOO_INPUT_SHARED);
        std::vector<std::string> bodies;
        std::vector<char> buffer(1 << 20);
        for (;;) {
            MQMD md = MQMD_DEFAULT;
            MQGMO gmo = MQGMO_DEFAULT;
            gmo.Options = MQGMO_NO_SYNCPOINT;
            MQLONG length = 0, cc = 0, reason = 0;
            MQGET(hconn, hobj, &md, &gmo, static_cast<MQLONG>(buffer.size()), buffer.data(),
                  &length, &cc, &reason);
            if (reason == MQRC_NO_MSG_AVAILABLE) {
                break;
            }
            EXPECT_EQ(reason, MQRC_NONE) << "MQGET " << queue << ": " << reasonText(reason);
            if (reason != MQRC_NONE) {
                break;
            }
            bodies.emplace_back(buffer.data(), static_cast<size_t>(length));
        }
        disconnect(hconn);
        return bodies;
    }

    // Messages a get can take now, and messages held in units of work.
    MQLONG depth(const std::string &queue, MQLONG *uncommitted = nullptr) const {
        mqQueueInfo_t *queues = nullptr;
        MQLONG count = 0;
        char detail[256] = "";
        MQLONG reason = mqListQueues(name_.c_str(), &queues, &count, detail, sizeof detail);
        EXPECT_EQ(reason, MQRC_NONE) << reasonText(reason) << ": " << detail;
        MQLONG found = -1;
        for (MQLONG i = 0; i < count; ++i) {
            if (queue == queues[i].name) {
                found = queues[i].depth;
                if (uncommitted != nullptr) {
                    *uncommitted = queues[i].uncommitted;
                }
            }
        }
        std::free(queues);
        return found;
    }

private:
    MQHCONN connect() const {
        MQHCONN hconn = MQHC_UNUSABLE_HCONN;
        MQLONG cc = 0, reason = 0;
        MQCONN(name_.c_str(), &hconn, &cc, &reason);
        EXPECT_EQ(reason, MQRC_NONE) << "MQCONN " << name_ << ": " << reasonText(reason);
        return hconn;
    }
    static MQHOBJ open(MQHCONN hconn, const std::string &queue, MQLONG options) {
        MQOD od = MQOD_DEFAULT;
        std::memcpy(od.ObjectName, queue.data(), std::min(queue.size(), sizeof od.ObjectName));
        MQHOBJ hobj = MQHO_UNUSABLE_HOBJ;
        MQLONG cc = 0, reason = 0;
        MQOPEN(hconn, &od, options, &hobj, &cc, &reason);
        EXPECT_EQ(reason, MQRC_NONE) << "MQOPEN " << queue << ": " << reasonText(reason);
        return hobj;
    }
    static void disconnect(MQHCONN &hconn) {
        MQLONG cc = 0, reason = 0;
        MQDISC(&hconn, &cc, &reason);
    }

    std::string name_;
};

// Polls `done` every 20 ms for up to `limit`; true when it answered true.
inline bool waitFor(const std::function<bool()> &done,
                    std::chrono::milliseconds limit = std::chrono::seconds(20)) {
    auto until = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < until) {
        if (done()) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return done();
}

// A child process whose standard output and error go to files. The destructor kills it
// if it still runs, so a failing test leaves nothing behind.
class Process {
public:
    Process(const std::vector<std::string> &arguments, const std::string &outFile,
            const std::string &errFile)
        : out_(outFile), err_(errFile) {
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, outFile.c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, errFile.c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0644);
        std::vector<char *> argv;
        for (const std::string &a : arguments) {
            argv.push_back(const_cast<char *>(a.c_str()));
        }
        argv.push_back(nullptr);
        if (posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ) != 0) {
            pid_ = -1;
        }
        posix_spawn_file_actions_destroy(&actions);
    }
    ~Process() {
        if (pid_ > 0 && !exited_) {
            ::kill(pid_, SIGKILL);
            wait();
        }
    }
    Process(const Process &) = delete;
    Process &operator=(const Process &) = delete;

    pid_t pid() const { return pid_; }
    void signal(int number) const { ::kill(pid_, number); }
    bool running() {
        if (exited_ || pid_ <= 0) {
            return false;
        }
        int status = 0;
        if (::waitpid(pid_, &status, WNOHANG) == pid_) {
            exited_ = true;
            status_ = status;
            return false;
        }
        return true;
    }
    // Waits for the end; the raw wait status (-1 after `limit` without an end).
    int wait(std::chrono::milliseconds limit = std::chrono::seconds(60)) {
        if (!waitFor([this] { return !running(); }, limit)) {
            return -1;
        }
        return status_;
    }
    std::string out() const { return readFile(out_); }
    std::string err() const { return readFile(err_); }

private:
    pid_t pid_ = -1;
    bool exited_ = false;
    int status_ = -1;
    std::string out_;
    std::string err_;
};

// N for the demo flow's reply to request N ("<outer><tag1>request-N</tag1>" with the
// stored code), -1 for anything else.
inline int replyNumber(const std::string &body) {
    const std::string head = "<outer><tag1>request-";
    const std::string tail = "</tag1><Status>42704</Status></outer>";
    if (body.size() <= head.size() + tail.size() || body.compare(0, head.size(), head) != 0 ||
        body.compare(body.size() - tail.size(), tail.size(), tail) != 0) {
        return -1;
    }
    std::string digits = body.substr(head.size(), body.size() - head.size() - tail.size());
    if (digits.size() > 6 || digits.find_first_not_of("0123456789") != std::string::npos) {
        return -1;
    }
    return std::stoi(digits);
}

inline int exitCode(int status) {
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

} // namespace rttest

#endif
