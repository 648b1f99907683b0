// mqadmin: the operator's command for the stand-in queue manager. Creates and deletes queue
// managers, defines, deletes and lists queues, and puts, browses and gets messages through
// the messaging calls. Run by people and by tests.
#include "common/readall.h"
#include "messaging/admin.h"
#include "messaging/mqadminoptions.h"
#include "trevane/mq.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <optional>
#include <string>
#include <string_view>
#include <unistd.h>
#include <vector>

namespace {

constexpr const char *USAGE = R"(Usage: mqadmin [--dir DIRECTORY] COMMAND [ARGUMENTS]

Administers the queue managers of the stand-in queue manager. Each queue manager is one
SQLite file in the data directory, or an entry there (QMGR.qmgr-pg) naming the PostgreSQL
database that keeps it. The data directory: --dir, else $TREVANE_MQ_DIR, else
$XDG_DATA_HOME/trevane/queue-managers, else ~/.local/share/trevane/queue-managers.

Options:
  --dir DIRECTORY               the data directory
  -h, --help                    show this text (also after the command word)

Commands:
  create-qm QMGR [--postgres CONNINFO]
                                create a queue manager: a file in the data directory, or
                                in the PostgreSQL database CONNINFO names (libpq's
                                connection text; schema created when missing)
  delete-qm QMGR [--force]      delete a queue manager; --force even when it holds messages
  list-qm                       list the queue managers
  define-q QMGR QUEUE [--priority 0-9] [--persistence 0|1] [--max-length BYTES]
                                define a queue (defaults: priority 0, persistent, 4194304)
  delete-q QMGR QUEUE [--purge] delete a queue; --purge discards its messages
  list-q QMGR                   list the queues with their depths
  put QMGR QUEUE (--text TEXT | --file PATH) [--reply-to QUEUE] [--reply-to-qm QMGR]
                 [--priority 0-9] [--correl-id HEX] [--format NAME]
                                put one message
  browse QMGR QUEUE [--descriptor] [--limit N]
                                print the messages without removing them
  get QMGR QUEUE [--descriptor] [--wait MS|unlimited] [--all]
                                remove and print one message (--all: every message)
  directory                     print the data directory

Bodies are printed as they are, each followed by a newline; --descriptor prints the
message descriptor's fields before each body.
A value follows its option as the next word or after '=' (--dir=DIRECTORY); a long option
may be shortened to any prefix that names no other option of its command; '--' ends the
options, so that the words after it are names even when they begin with '-'.
Exit status: 0 done, 1 the queue manager refused or failed, 2 wrong command line.
)";

struct UsageError {
    std::string text;
};

struct CommandFailure {
    std::string text;
};

// The whole of a file as a message body. Any file that can be read will do (a pipe
// too); a directory or a read error is a clear refusal, never a crash.
std::string readBody(const std::string &path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        throw CommandFailure{"cannot read " + path + ": " + std::strerror(errno)};
    }
    std::string body;
    if (int error = readall::readAll(fd, body); error != 0) {
        ::close(fd);
        throw CommandFailure{"cannot read " + path + ": " + std::strerror(error)};
    }
    ::close(fd);
    return body;
}

[[noreturn]] void usageError(std::string text) {
    throw UsageError{std::move(text)};
}

// A failed messaging or administration call, with its reason and the library's explanation.
[[noreturn]] void callFailed(const std::string &what, MQLONG reason, const char *detail) {
    std::string text = what + ": " + mqReasonName(reason) + " (" + std::to_string(reason) + ")";
    if (detail != nullptr && *detail != 0) {
        text += ": ";
        text += detail;
    }
    throw CommandFailure{text};
}

// The command's own options and operands, as its table read them. Every option is asked
// for by run(); an operand left over is a mistake worth reporting rather than ignoring.
class Arguments {
public:
    explicit Arguments(cmdline::CommandLine line)
        : line_(std::move(line)), used_(line_.options.size(), false) {}

    std::string positional(const char *what) {
        if (next_ >= line_.operands.size()) {
            usageError(std::string("missing ") + what);
        }
        return line_.operands[next_++];
    }
    bool flag(const char *name) { return find(name) != nullptr; }
    std::optional<std::string> value(const char *name) {
        const cmdline::Given *given = find(name);
        return given != nullptr ? std::optional<std::string>(given->value) : std::nullopt;
    }
    void finish() const {
        for (size_t i = 0; i < used_.size(); ++i) {
            if (!used_[i]) {
                usageError("unexpected argument '--" + line_.options[i].name + "'");
            }
        }
        if (next_ < line_.operands.size()) {
            usageError("unexpected argument '" + line_.operands[next_] + "'");
        }
    }

private:
    // name is "--force"; an option given twice is refused, not silently half taken.
    const cmdline::Given *find(std::string_view name) {
        const cmdline::Given *found = nullptr;
        for (size_t i = 0; i < line_.options.size(); ++i) {
            if ("--" + line_.options[i].name == name) {
                if (found != nullptr) {
                    usageError(std::string(name) + " given more than once");
                }
                found = &line_.options[i];
                used_[i] = true;
            }
        }
        return found;
    }

    cmdline::CommandLine line_;
    std::vector<bool> used_;
    size_t next_ = 0;
};

long number(const std::string &text, const char *what, long low, long high) {
    errno = 0;
    char *end = nullptr;
    long value = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || *end != 0 || errno != 0 || value < low || value > high) {
        usageError(std::string(what) + " must be a number from " + std::to_string(low) + " to " +
                   std::to_string(high) + ", not '" + text + "'");
    }
    return value;
}

void copyName(char *field, size_t width, const std::string &name, const char *what) {
    if (name.size() > width) {
        usageError(std::string(what) + " '" + name + "' is longer than " + std::to_string(width) +
                   " characters");
    }
    std::memset(field, 0, width);
    std::memcpy(field, name.data(), name.size());
}

std::string hex(const MQBYTE *bytes, size_t length) {
    static constexpr char digits[] = "0123456789abcdef";
    std::string text;
    for (size_t i = 0; i < length; ++i) {
        text += digits[bytes[i] >> 4];
        text += digits[bytes[i] & 15];
    }
    return text;
}

void parseHex(const std::string &text, MQBYTE *bytes, size_t length, const char *what) {
    if (text.size() > 2 * length || text.size() % 2 != 0) {
        usageError(std::string(what) + " must be an even number of up to " +
                   std::to_string(2 * length) + " hexadecimal digits");
    }
    std::memset(bytes, 0, length);
    for (size_t i = 0; i < text.size(); i += 2) {
        char pair[3] = {text[i], text[i + 1], 0};
        char *end = nullptr;
        unsigned long value = std::strtoul(pair, &end, 16);
        if (*end != 0 || !std::isxdigit(static_cast<unsigned char>(pair[0]))) {
            usageError(std::string(what) + " holds a character that is not hexadecimal");
        }
        bytes[i / 2] = static_cast<MQBYTE>(value);
    }
}

std::string fixed(const char *field, size_t width) {
    size_t length = strnlen(field, width);
    while (length > 0 && field[length - 1] == ' ') {
        --length;
    }
    return {field, length};
}

void printDescriptor(const MQMD &md, MQLONG length) {
    std::printf("MsgId: %s\n", hex(md.MsgId, sizeof md.MsgId).c_str());
    std::printf("CorrelId: %s\n", hex(md.CorrelId, sizeof md.CorrelId).c_str());
    std::printf("MsgType: %d\n", md.MsgType);
    std::printf("Priority: %d\n", md.Priority);
    std::printf("Persistence: %d\n", md.Persistence);
    std::printf("Expiry: %d\n", md.Expiry);
    std::printf("BackoutCount: %d\n", md.BackoutCount);
    std::printf("Report: %d\n", md.Report);
    std::printf("Feedback: %d\n", md.Feedback);
    std::printf("Encoding: %d\n", md.Encoding);
    std::printf("CodedCharSetId: %d\n", md.CodedCharSetId);
    std::printf("Format: '%.*s'\n", static_cast<int>(sizeof md.Format), md.Format);
    std::printf("ReplyToQ: %s\n", fixed(md.ReplyToQ, sizeof md.ReplyToQ).c_str());
    std::printf("ReplyToQMgr: %s\n", fixed(md.ReplyToQMgr, sizeof md.ReplyToQMgr).c_str());
    std::printf("UserIdentifier: %s\n", fixed(md.UserIdentifier, sizeof md.UserIdentifier).c_str());
    std::printf("PutApplType: %d\n", md.PutApplType);
    std::printf("PutApplName: %s\n", fixed(md.PutApplName, sizeof md.PutApplName).c_str());
    std::printf("PutDate: %s\n", fixed(md.PutDate, sizeof md.PutDate).c_str());
    std::printf("PutTime: %s\n", fixed(md.PutTime, sizeof md.PutTime).c_str());
    std::printf("Length: %d\n", length);
}

// A connection with one queue open, disconnected (and so backed out) on the way out.
class Session {
public:
    Session(const std::string &qmgr, const std::string &queue, MQLONG options) : queue_(queue) {
        char name[MQ_Q_MGR_NAME_LENGTH];
        copyName(name, sizeof name, qmgr, "queue manager name");
        MQLONG compCode, reason;
        MQCONN(name, &hconn_, &compCode, &reason);
        if (reason != MQRC_NONE) {
            callFailed("cannot connect to queue manager " + qmgr, reason, mqLastErrorDetail());
        }
        MQOD od = MQOD_DEFAULT;
        copyName(od.ObjectName, sizeof od.ObjectName, queue, "queue name");
        MQOPEN(hconn_, &od, options, &hobj_, &compCode, &reason);
        if (reason != MQRC_NONE) {
            std::string detail = mqLastErrorDetail();
            MQLONG openReason = reason;
            MQDISC(&hconn_, &compCode, &reason);
            callFailed("cannot open queue " + queue, openReason, detail.c_str());
        }
    }
    ~Session() {
        MQLONG compCode, reason;
        MQDISC(&hconn_, &compCode, &reason);
    }
    Session(const Session &) = delete;
    Session &operator=(const Session &) = delete;
    MQHCONN hconn() const { return hconn_; }
    MQHOBJ hobj() const { return hobj_; }
    const std::string &queue() const { return queue_; }

private:
    std::string queue_;
    MQHCONN hconn_ = MQHC_UNUSABLE_HCONN;
    MQHOBJ hobj_ = MQHO_UNUSABLE_HOBJ;
};

// Gets or browses one message into data, growing the buffer for long messages. False when
// there is no message.
bool receive(Session &session, MQLONG options, MQLONG waitInterval, MQMD &md,
             std::vector<char> &data) {
    if (data.size() < 65536) {
        data.resize(65536);
    }
    for (;;) {
        MQGMO gmo = MQGMO_DEFAULT;
        gmo.Options = options;
        gmo.WaitInterval = waitInterval;
        MQLONG length = 0, compCode, reason;
        MQGET(session.hconn(), session.hobj(), &md, &gmo, static_cast<MQLONG>(data.size()),
              data.data(), &length, &compCode, &reason);
        if (reason == MQRC_NONE) {
            data.resize(static_cast<size_t>(length));
            return true;
        }
        if (reason == MQRC_NO_MSG_AVAILABLE) {
            return false;
        }
        if (reason != MQRC_TRUNCATED_MSG_FAILED) {
            callFailed("cannot get from queue " + session.queue(), reason, mqLastErrorDetail());
        }
        // md now names the message, so the next attempt takes that one.
        data.resize(static_cast<size_t>(length));
    }
}

void printMessage(const MQMD &md, const std::vector<char> &data, bool descriptor) {
    if (descriptor) {
        printDescriptor(md, static_cast<MQLONG>(data.size()));
        std::printf("Data:\n");
    }
    std::fwrite(data.data(), 1, data.size(), stdout);
    std::printf("\n");
}

void printDirectory() {
    char directory[4096], detail[512];
    MQLONG reason = mqDataDirectory(directory, sizeof directory, detail, sizeof detail);
    if (reason != MQRC_NONE) {
        callFailed("no data directory", reason, detail);
    }
    std::printf("%s\n", directory);
}

int run(const std::string &command, Arguments &args) {
    char detail[1024] = "";
    if (command == "directory") {
        args.finish();
        printDirectory();
    } else if (command == "create-qm") {
        auto postgres = args.value("--postgres");
        std::string qmgr = args.positional("queue manager name");
        args.finish();
        MQLONG reason = postgres ? mqCreateQueueManagerPostgres(qmgr.c_str(), postgres->c_str(),
                                                                detail, sizeof detail)
                                 : mqCreateQueueManager(qmgr.c_str(), detail, sizeof detail);
        if (reason != MQRC_NONE) {
            callFailed("cannot create queue manager " + qmgr, reason, detail);
        }
        std::printf("Queue manager %s created.\n", qmgr.c_str());
    } else if (command == "delete-qm") {
        bool force = args.flag("--force");
        std::string qmgr = args.positional("queue manager name");
        args.finish();
        MQLONG reason = mqDeleteQueueManager(qmgr.c_str(), force, detail, sizeof detail);
        if (reason != MQRC_NONE) {
            callFailed("cannot delete queue manager " + qmgr, reason, detail);
        }
        std::printf("Queue manager %s deleted.\n", qmgr.c_str());
    } else if (command == "list-qm") {
        args.finish();
        mqQueueManagerInfo_t *managers = nullptr;
        MQLONG count = 0;
        MQLONG reason = mqListQueueManagers(&managers, &count, detail, sizeof detail);
        if (reason != MQRC_NONE) {
            callFailed("cannot list queue managers", reason, detail);
        }
        for (MQLONG i = 0; i < count; ++i) {
            std::printf("%s\n", managers[i].name);
        }
        std::free(managers);
    } else if (command == "define-q") {
        mqQueueAttributes_t attributes = MQ_QUEUE_ATTRIBUTES_DEFAULT;
        if (auto v = args.value("--priority")) {
            attributes.defaultPriority = static_cast<MQLONG>(number(*v, "--priority", 0, 9));
        }
        if (auto v = args.value("--persistence")) {
            attributes.defaultPersistence = static_cast<MQLONG>(number(*v, "--persistence", 0, 1));
        }
        if (auto v = args.value("--max-length")) {
            attributes.maxMsgLength = static_cast<MQLONG>(number(*v, "--max-length", 1, 1L << 30));
        }
        std::string qmgr = args.positional("queue manager name");
        std::string queue = args.positional("queue name");
        args.finish();
        MQLONG reason =
            mqDefineQueue(qmgr.c_str(), queue.c_str(), &attributes, detail, sizeof detail);
        if (reason != MQRC_NONE) {
            callFailed("cannot define queue " + queue, reason, detail);
        }
        std::printf("Queue %s defined on %s.\n", queue.c_str(), qmgr.c_str());
    } else if (command == "delete-q") {
        bool purge = args.flag("--purge");
        std::string qmgr = args.positional("queue manager name");
        std::string queue = args.positional("queue name");
        args.finish();
        MQLONG reason = mqDeleteQueue(qmgr.c_str(), queue.c_str(), purge, detail, sizeof detail);
        if (reason != MQRC_NONE) {
            callFailed("cannot delete queue " + queue, reason, detail);
        }
        std::printf("Queue %s deleted from %s.\n", queue.c_str(), qmgr.c_str());
    } else if (command == "list-q") {
        std::string qmgr = args.positional("queue manager name");
        args.finish();
        mqQueueInfo_t *queues = nullptr;
        MQLONG count = 0;
        MQLONG reason = mqListQueues(qmgr.c_str(), &queues, &count, detail, sizeof detail);
        if (reason != MQRC_NONE) {
            callFailed("cannot list the queues of " + qmgr, reason, detail);
        }
        std::printf("%-48s %8s %11s %8s %11s %10s\n", "QUEUE", "DEPTH", "UNCOMMITTED", "PRIORITY",
                    "PERSISTENCE", "MAXLENGTH");
        for (MQLONG i = 0; i < count; ++i) {
            const mqQueueInfo_t &q = queues[i];
            std::printf("%-48s %8d %11d %8d %11d %10d\n", q.name, q.depth, q.uncommitted,
                        q.attributes.defaultPriority, q.attributes.defaultPersistence,
                        q.attributes.maxMsgLength);
        }
        std::free(queues);
    } else if (command == "put") {
        auto text = args.value("--text");
        auto file = args.value("--file");
        auto replyTo = args.value("--reply-to");
        auto replyToQm = args.value("--reply-to-qm");
        auto priority = args.value("--priority");
        auto correlId = args.value("--correl-id");
        auto format = args.value("--format");
        std::string qmgr = args.positional("queue manager name");
        std::string queue = args.positional("queue name");
        args.finish();
        if (text.has_value() == file.has_value()) {
            usageError("put needs exactly one of --text and --file");
        }
        std::string body;
        if (text) {
            body = *text;
        } else {
            body = readBody(*file);
        }
        if (body.size() > static_cast<size_t>(INT32_MAX)) {
            throw CommandFailure{"the message is too long"};
        }
        MQMD md = MQMD_DEFAULT;
        if (replyTo) {
            copyName(md.ReplyToQ, sizeof md.ReplyToQ, *replyTo, "reply-to queue name");
            md.MsgType = MQMT_REQUEST;
        }
        if (replyToQm) {
            copyName(md.ReplyToQMgr, sizeof md.ReplyToQMgr, *replyToQm,
                     "reply-to queue manager name");
        }
        if (priority) {
            md.Priority = static_cast<MQLONG>(number(*priority, "--priority", 0, 9));
        }
        if (correlId) {
            parseHex(*correlId, md.CorrelId, sizeof md.CorrelId, "--correl-id");
        }
        if (format) {
            if (format->size() > sizeof md.Format) {
                usageError("--format takes at most 8 characters");
            }
            std::memset(md.Format, ' ', sizeof md.Format);
            std::memcpy(md.Format, format->data(), format->size());
        }
        Session session(qmgr, queue, MQOO_OUTPUT);
        MQPMO pmo = MQPMO_DEFAULT;
        MQLONG compCode, reason;
        MQPUT(session.hconn(), session.hobj(), &md, &pmo, static_cast<MQLONG>(body.size()),
              body.data(), &compCode, &reason);
        if (reason != MQRC_NONE) {
            callFailed("cannot put on queue " + queue, reason, mqLastErrorDetail());
        }
        std::printf("Put message %s on %s (%zu bytes).\n", hex(md.MsgId, sizeof md.MsgId).c_str(),
                    queue.c_str(), body.size());
    } else if (command == "browse") {
        bool descriptor = args.flag("--descriptor");
        long limit = -1;
        if (auto v = args.value("--limit")) {
            limit = number(*v, "--limit", 0, INT32_MAX);
        }
        std::string qmgr = args.positional("queue manager name");
        std::string queue = args.positional("queue name");
        args.finish();
        Session session(qmgr, queue, MQOO_BROWSE);
        std::vector<char> data;
        MQLONG options = MQGMO_BROWSE_FIRST;
        for (long shown = 0; limit < 0 || shown < limit; ++shown) {
            MQMD md = MQMD_DEFAULT;
            if (!receive(session, options, 0, md, data)) {
                break;
            }
            printMessage(md, data, descriptor);
            options = MQGMO_BROWSE_NEXT;
        }
    } else if (command == "get") {
        bool descriptor = args.flag("--descriptor");
        bool all = args.flag("--all");
        MQLONG wait = 0;
        bool waiting = false;
        if (auto v = args.value("--wait")) {
            waiting = true;
            wait = *v == "unlimited" ? MQWI_UNLIMITED
                                     : static_cast<MQLONG>(number(*v, "--wait", 0, INT32_MAX));
        }
        std::string qmgr = args.positional("queue manager name");
        std::string queue = args.positional("queue name");
        args.finish();
        Session session(qmgr, queue, MQOO_INPUT_AS_Q_DEF);
        std::vector<char> data;
        long got = 0;
        do {
            MQMD md = MQMD_DEFAULT;
            MQLONG options = MQGMO_NO_SYNCPOINT | (waiting ? MQGMO_WAIT : 0);
            if (!receive(session, options, wait, md, data)) {
                break;
            }
            printMessage(md, data, descriptor);
            std::fflush(stdout);
            ++got;
        } while (all);
        if (got == 0 && !all) {
            throw CommandFailure{"no message on queue " + queue + " of " + qmgr};
        }
    } else {
        usageError("unknown command '" + command + "'");
    }
    return 0;
}

// The table of a command's own options; nullptr for an unknown command.
const mqadmin::Command *findCommand(const std::string &name) {
    for (const mqadmin::Command &command : mqadmin::COMMANDS) {
        if (name == command.name) {
            return &command;
        }
    }
    return nullptr;
}

} // namespace

int main(int argc, char **argv) {
    try {
        // The global options stand before the command word; the command reads the rest.
        cmdline::CommandLine global;
        try {
            global = cmdline::parse(std::vector<std::string>(argv + 1, argv + argc),
                                    mqadmin::GLOBAL_OPTIONS, cmdline::Order::OptionsFirst);
        } catch (const cmdline::UsageError &e) {
            usageError(e.what());
        }
        for (const cmdline::Given &option : global.options) {
            if (option.name == "help") {
                std::fputs(USAGE, stdout);
                return 0;
            }
        }
        for (const cmdline::Given &option : global.options) {
            if (option.name == "dir") {
                setenv(MQ_DIRECTORY_VARIABLE, option.value.c_str(), 1);
            }
        }
        if (global.operands.empty()) {
            usageError("no command given");
        }
        const std::string command = global.operands[0];
        const mqadmin::Command *known = findCommand(command);
        if (known == nullptr) {
            usageError("unknown command '" + command + "'");
        }
        cmdline::CommandLine own;
        try {
            own = cmdline::parse(
                std::vector<std::string>(global.operands.begin() + 1, global.operands.end()),
                known->options);
        } catch (const cmdline::UsageError &e) {
            usageError(e.what());
        }
        if (cmdline::given(own, "help")) {
            std::fputs(USAGE, stdout);
            return 0;
        }
        Arguments args(std::move(own));
        int status = run(command, args);
        if (std::fflush(stdout) != 0) {
            std::fprintf(stderr, "mqadmin: cannot write the output: %s\n", std::strerror(errno));
            return 1;
        }
        return status;
    } catch (const UsageError &error) {
        std::fprintf(stderr, "mqadmin: %s\nTry 'mqadmin --help'.\n", error.text.c_str());
        return 2;
    } catch (const CommandFailure &failure) {
        std::fflush(stdout);
        std::fprintf(stderr, "mqadmin: %s\n", failure.text.c_str());
        return 1;
    }
}
