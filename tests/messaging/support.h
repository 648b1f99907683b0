// Test support for the stand-in queue manager and its programs: a fresh queue manager
// directory per test, child processes with captured output, and one-line wrappers of the
// messaging calls that report failures with the reason's name and the library's detail.
// Used by tests/messaging and tests/client.
#ifndef TESTS_MESSAGING_SUPPORT_H
#define TESTS_MESSAGING_SUPPORT_H

#include "messaging/admin.h"
#include "trevane/mq.h"

#include <gtest/gtest.h>
#ifdef TREVANE_QM_TESTS_ON_POSTGRES
#include "tests/support/pgstatement.h"
#endif

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <ftw.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <string>
#include <string_view>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char **environ;

namespace mqtest {

#ifdef TREVANE_QM_TESTS_ON_POSTGRES
// Runs one statement in the fixture server's database "trevane"; the server's message when
// it fails.
inline std::string pgCommand(const std::string &sql) {
    return pgfixture::runStatement(sql);
}
#endif

// A server that accepts connections and never answers: a Unix socket that listens, in a
// directory of its own.
class SilentServer {
public:
    explicit SilentServer(const std::string &directory) {
        socket_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::string path = directory + "/.s.PGSQL.5999";
        std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
        listening_ = socket_ >= 0 &&
                     ::bind(socket_, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0 &&
                     ::listen(socket_, 8) == 0;
    }
    ~SilentServer() {
        if (socket_ >= 0) {
            ::close(socket_);
        }
    }
    bool listening() const { return listening_; }

private:
    int socket_ = -1;
    bool listening_ = false;
};

inline std::string reasonText(MQLONG reason) {
    return std::string(mqReasonName(reason)) + " (" + std::to_string(reason) + ")";
}

// A directory of its own for the queue manager files of one test, removed afterwards.
class TemporaryDirectory {
public:
    TemporaryDirectory() {
        char pattern[] = "/tmp/trevane-mq-test-XXXXXX";
        const char *made = ::mkdtemp(pattern);
        path_ = made != nullptr ? made : "";
    }
    ~TemporaryDirectory() {
        if (!path_.empty()) {
            ::nftw(
                path_.c_str(),
                [](const char *file, const struct stat *, int, FTW *) { return ::remove(file); },
                16, FTW_DEPTH | FTW_PHYS);
        }
    }
    const std::string &path() const { return path_; }

private:
    std::string path_;
};

// Each test runs against its own TREVANE_MQ_DIR holding queue manager QM1 with the queues
// the test names.
class QueueManagerTest : public ::testing::Test {
protected:
    static constexpr const char *QMGR = "QM1";

    void SetUp() override {
        ASSERT_FALSE(directory_.path().empty()) << "cannot make a temporary directory";
        ::setenv(MQ_DIRECTORY_VARIABLE, directory_.path().c_str(), 1);
        createQueueManager(QMGR);
    }

    void createQueueManager(const char *name) {
        char detail[512];
#ifdef TREVANE_QM_TESTS_ON_POSTGRES
        // The same tests against a queue manager kept in PostgreSQL: the fixture's server,
        // a database of their own, emptied for each test.
        static int created = 0;
        if (created++ == 0 || std::string_view(name) == QMGR) {
            ASSERT_EQ(pgfixture::useServer(), "");
            if (std::string_view(name) == QMGR) {
                ASSERT_EQ(pgCommand("DROP DATABASE IF EXISTS trevane_mq_suite WITH (FORCE)"), "");
                ASSERT_EQ(pgCommand("CREATE DATABASE trevane_mq_suite"), "");
            }
        }
        std::string conninfo = pgfixture::conninfo() + " dbname=trevane_mq_suite";
        MQLONG reason = mqCreateQueueManagerPostgres(name, conninfo.c_str(), detail, sizeof detail);
#else
        MQLONG reason = mqCreateQueueManager(name, detail, sizeof detail);
#endif
        ASSERT_EQ(reason, MQRC_NONE) << reasonText(reason) << ": " << detail;
    }

    void defineQueue(const char *queue, MQLONG defaultPriority = 0,
                     MQLONG maxLength = MQ_DEFAULT_MAX_MSG_LENGTH) {
        mqQueueAttributes_t attributes = MQ_QUEUE_ATTRIBUTES_DEFAULT;
        attributes.defaultPriority = defaultPriority;
        attributes.maxMsgLength = maxLength;
        char detail[512];
        MQLONG reason = mqDefineQueue(QMGR, queue, &attributes, detail, sizeof detail);
        ASSERT_EQ(reason, MQRC_NONE) << reasonText(reason) << ": " << detail;
    }

    const std::string &directory() const {
        return directory_.path();
    }

private:
    TemporaryDirectory directory_;
};

// Completion and reason of one call, printed as names when a comparison fails.
struct Outcome {
    MQLONG compCode = -1;
    MQLONG reason = -1;
    bool operator==(const Outcome &) const = default;
};

inline std::ostream &operator<<(std::ostream &out, const Outcome &outcome) {
    return out << "compcode=" << outcome.compCode << " reason=" << reasonText(outcome.reason);
}

inline const Outcome OK{MQCC_OK, MQRC_NONE};
inline Outcome failed(MQLONG reason) {
    return {MQCC_FAILED, reason};
}

inline MQHCONN connect(const char *qmgr) {
    MQHCONN hconn = MQHC_UNUSABLE_HCONN;
    Outcome outcome;
    MQCONN(qmgr, &hconn, &outcome.compCode, &outcome.reason);
    EXPECT_EQ(outcome, OK) << "MQCONN " << qmgr << ": " << mqLastErrorDetail();
    return hconn;
}

// Fills a fixed-width name field: zero-padded, cut at the field's width.
template <size_t N> void setName(char (&field)[N], std::string_view name) {
    std::memset(field, 0, N);
    std::memcpy(field, name.data(), std::min(N, name.size()));
}

inline MQHOBJ openQueue(MQHCONN hconn, const char *queue, MQLONG options) {
    MQOD od = MQOD_DEFAULT;
    setName(od.ObjectName, queue);
    MQHOBJ hobj = MQHO_UNUSABLE_HOBJ;
    Outcome outcome;
    MQOPEN(hconn, &od, options, &hobj, &outcome.compCode, &outcome.reason);
    EXPECT_EQ(outcome, OK) << "MQOPEN " << queue << ": " << mqLastErrorDetail();
    return hobj;
}

inline Outcome put(MQHCONN hconn, MQHOBJ hobj, const std::string &body,
                   MQLONG priority = MQPRI_PRIORITY_AS_Q_DEF, MQLONG putOptions = MQPMO_NONE,
                   MQMD *descriptor = nullptr) {
    MQMD md = MQMD_DEFAULT;
    if (descriptor != nullptr) {
        md = *descriptor;
    }
    md.Priority = priority;
    MQPMO pmo = MQPMO_DEFAULT;
    pmo.Options = putOptions;
    Outcome outcome;
    MQPUT(hconn, hobj, &md, &pmo, static_cast<MQLONG>(body.size()), body.data(), &outcome.compCode,
          &outcome.reason);
    if (descriptor != nullptr) {
        *descriptor = md;
    }
    return outcome;
}

struct Got {
    Outcome outcome;
    std::string body;
    MQLONG dataLength = -1;
    MQMD md = MQMD_DEFAULT;
};

inline Got get(MQHCONN hconn, MQHOBJ hobj, MQLONG options = MQGMO_NO_SYNCPOINT,
               MQLONG waitInterval = 0, MQLONG bufferLength = 65536,
               const MQMD *selector = nullptr) {
    Got got;
    if (selector != nullptr) {
        got.md = *selector;
    }
    MQGMO gmo = MQGMO_DEFAULT;
    gmo.Options = options;
    gmo.WaitInterval = waitInterval;
    std::vector<char> buffer(static_cast<size_t>(bufferLength) + 1);
    MQGET(hconn, hobj, &got.md, &gmo, bufferLength, buffer.data(), &got.dataLength,
          &got.outcome.compCode, &got.outcome.reason);
    if (got.outcome.reason == MQRC_NONE || got.outcome.reason == MQRC_TRUNCATED_MSG_ACCEPTED) {
        got.body.assign(buffer.data(), static_cast<size_t>(std::min(got.dataLength, bufferLength)));
    }
    return got;
}

inline void disconnect(MQHCONN &hconn) {
    Outcome outcome;
    MQDISC(&hconn, &outcome.compCode, &outcome.reason);
    EXPECT_EQ(outcome, OK) << "MQDISC: " << mqLastErrorDetail();
}

// A child process with its standard output and error on pipes. The destructor kills it if
// it still runs, so a test that fails early leaves nothing behind.
class ChildProcess {
public:
    explicit ChildProcess(const std::vector<std::string> &arguments) {
        int out[2], err[2];
        if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) {
            return;
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
        posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
        std::vector<char *> argv;
        for (const auto &argument : arguments) {
            argv.push_back(const_cast<char *>(argument.c_str()));
        }
        argv.push_back(nullptr);
        if (posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ) != 0) {
            pid_ = -1;
        }
        posix_spawn_file_actions_destroy(&actions);
        ::close(out[1]);
        ::close(err[1]);
        out_ = out[0];
        err_ = err[0];
    }
    ~ChildProcess() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        if (out_ >= 0) {
            ::close(out_);
        }
        if (err_ >= 0) {
            ::close(err_);
        }
    }
    ChildProcess(const ChildProcess &) = delete;
    ChildProcess &operator=(const ChildProcess &) = delete;

    bool started() const { return pid_ > 0; }
    pid_t pid() const { return pid_; }

    // Reads standard output until a whole line has come (without its newline); empty when
    // the child closed it or the time ran out.
    std::string readLine(std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
        auto deadline = std::chrono::steady_clock::now() + timeout;
        for (;;) {
            if (size_t newline = out_text_.find('\n'); newline != std::string::npos) {
                std::string line = out_text_.substr(0, newline);
                out_text_.erase(0, newline + 1);
                return line;
            }
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0 || !readSome(out_, out_text_, left)) {
                return {};
            }
        }
    }

    // Kills the child with a signal and reaps it.
    void kill(int signal) {
        if (pid_ > 0) {
            ::kill(pid_, signal);
            ::waitpid(pid_, nullptr, 0);
            pid_ = -1;
        }
    }

    // Collects all output and the exit status; a child still running after the timeout is
    // killed and reported with status -1.
    int finish(std::string &out, std::string &err,
               std::chrono::milliseconds timeout = std::chrono::seconds(30)) {
        auto deadline = std::chrono::steady_clock::now() + timeout;
        bool outOpen = true, errOpen = true;
        while (outOpen || errOpen) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) {
                break;
            }
            pollfd fds[2] = {{outOpen ? out_ : -1, POLLIN, 0}, {errOpen ? err_ : -1, POLLIN, 0}};
            if (::poll(fds, 2, static_cast<int>(left.count())) <= 0) {
                continue;
            }
            if (fds[0].revents != 0) {
                outOpen = readSome(out_, out_text_, std::chrono::milliseconds(0));
            }
            if (fds[1].revents != 0) {
                errOpen = readSome(err_, err_text_, std::chrono::milliseconds(0));
            }
        }
        out = out_text_;
        err = err_text_;
        if (outOpen || errOpen) {
            kill(SIGKILL);
            return -1;
        }
        int status = 0;
        ::waitpid(pid_, &status, 0);
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }

private:
    static bool readSome(int fd, std::string &into, std::chrono::milliseconds timeout) {
        pollfd fds{fd, POLLIN, 0};
        if (timeout.count() > 0 && ::poll(&fds, 1, static_cast<int>(timeout.count())) <= 0) {
            return true; // nothing yet; still open
        }
        char buffer[65536];
        ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n <= 0) {
            return false;
        }
        into.append(buffer, static_cast<size_t>(n));
        return true;
    }

    pid_t pid_ = -1;
    int out_ = -1;
    int err_ = -1;
    std::string out_text_;
    std::string err_text_;
};

struct ProcessResult {
    int status = -1;
    std::string out;
    std::string err;
};

inline ProcessResult runProcess(const std::vector<std::string> &arguments,
                                std::chrono::milliseconds timeout = std::chrono::seconds(30)) {
    ChildProcess child(arguments);
    ProcessResult result;
    if (child.started()) {
        result.status = child.finish(result.out, result.err, timeout);
    }
    return result;
}

inline std::ostream &operator<<(std::ostream &out, const ProcessResult &result) {
    return out << "status " << result.status << "\n--- stdout ---\n"
               << result.out << "--- stderr ---\n"
               << result.err << "---";
}

} // namespace mqtest

#endif
