// flowping: exercises a deployed message flow with one request and one reply. Puts a fixed
// XML request on the flow's input queue, waits without limit for one message on the reply
// queue, prints it and disconnects. Its only interface is the messaging calls of
// trevane/mq.h; people run it from a console.
#include "client/flowpingoptions.h"
#include "trevane/mq.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

const char DEFAULT_QUEUE_MANAGER[] = "OSTRIN_QM";
const char DEFAULT_PUT_QUEUE[] = "I1.Q";
const char DEFAULT_GET_QUEUE[] = "SQLCODE_42704.Q";

const char USAGE[] = "Usage: %s < <queueManagerName> <PUT Queue> <GET Queue> >\n";
const char HELP[] = R"(
Puts the request <outer><tag1>data1</tag1></outer> on the PUT queue of the queue manager,
waits without limit for one message on the GET queue and prints it on standard error.
Without names: queue manager OSTRIN_QM, PUT queue I1.Q, GET queue SQLCODE_42704.Q. Any
other number of names than none or three shows the usage line.

Options:
  -h, --help   show this text
  --           end of the options: the words after it are names even when they begin
               with '-'

Exit status: 0 the reply was printed, or the usage shown; 1 a messaging call failed or a
name is longer than its 48-character field.
)";
const char REQUEST[] = "<outer><tag1>data1</tag1></outer>";
constexpr MQLONG BUFFER_SIZE = 10000;
static_assert(sizeof REQUEST - 1 == 33 && sizeof REQUEST <= BUFFER_SIZE);

constexpr MQLONG PUT_OPEN_OPTIONS = MQOO_OUTPUT | MQOO_FAIL_IF_QUIESCING;
constexpr MQLONG GET_OPEN_OPTIONS = MQOO_INPUT_AS_Q_DEF | MQOO_FAIL_IF_QUIESCING;
constexpr MQLONG GET_OPTIONS = MQGMO_WAIT | MQGMO_NO_SYNCPOINT;
static_assert(PUT_OPEN_OPTIONS == 0x2010 && GET_OPEN_OPTIONS == 0x2001 && GET_OPTIONS == 5);

// A name that does not fit its 48-character field would reach the queue manager cut short
// and could name another object: refuse it before connecting.
bool fitsField(const char *name, size_t width, const char *kind) {
    if (std::strlen(name) <= width) {
        return true;
    }
    std::printf("%s name '%s' is longer than the %zu-character limit\n", kind, name, width);
    return false;
}

// Puts a queue name into the object descriptor's name field, with its terminating zero when
// it is shorter than the field.
void setObjectName(MQOD &od, const char *name) {
    std::memset(od.ObjectName, 0, sizeof od.ObjectName);
    std::memcpy(od.ObjectName, name, std::strlen(name));
}

} // namespace

int main(int argc, char **argv) {
    const char *program = argc > 0 && argv[0] != nullptr ? argv[0] : "flowping";
    cmdline::CommandLine line;
    try {
        line = cmdline::parse(std::vector<std::string>(argv + 1, argv + argc), FLOWPING_OPTIONS);
    } catch (const cmdline::UsageError &e) {
        // Like a wrong number of names, a wrong option is no failure: the usage, status 0.
        std::fprintf(stderr, "flowping: %s\n", e.what());
        std::printf(USAGE, program);
        std::exit(0);
    }
    if (cmdline::given(line, "help")) {
        std::printf(USAGE, program);
        std::fputs(HELP, stdout);
        std::exit(0);
    }
    const char *queueManager = DEFAULT_QUEUE_MANAGER;
    const char *putQueue = DEFAULT_PUT_QUEUE;
    const char *getQueue = DEFAULT_GET_QUEUE;
    const std::vector<std::string> &names = line.operands;
    if (names.size() == 3) {
        queueManager = names[0].c_str();
        putQueue = names[1].c_str();
        getQueue = names[2].c_str();
    } else if (!names.empty()) {
        std::printf(USAGE, program);
        std::exit(0);
    }

    std::printf("Queue manager: %s\n", queueManager);
    std::printf("PUT queue: %s\n", putQueue);
    std::printf("GET queue: %s\n", getQueue);
    if (!fitsField(queueManager, MQ_Q_MGR_NAME_LENGTH, "Queue manager") ||
        !fitsField(putQueue, MQ_Q_NAME_LENGTH, "Queue") ||
        !fitsField(getQueue, MQ_Q_NAME_LENGTH, "Queue")) {
        std::exit(1);
    }

    MQOD od = MQOD_DEFAULT;
    const MQMD mdTemplate = MQMD_DEFAULT;
    MQMD md;
    MQPMO pmo = MQPMO_DEFAULT;
    MQGMO gmo = MQGMO_DEFAULT;
    MQHCONN hconn = MQHC_UNUSABLE_HCONN;
    MQHOBJ putHandle = MQHO_UNUSABLE_HOBJ;
    MQHOBJ getHandle = MQHO_UNUSABLE_HOBJ;
    MQLONG compCode = MQCC_OK;
    MQLONG reason = MQRC_NONE;
    static char buffer[BUFFER_SIZE];

    MQCONN(queueManager, &hconn, &compCode, &reason);
    if (reason != MQRC_NONE) {
        std::printf("MQCONN failed with compcode=%d, reason=%d\n", compCode, reason);
        std::exit(1);
    }

    setObjectName(od, putQueue);
    MQOPEN(hconn, &od, PUT_OPEN_OPTIONS, &putHandle, &compCode, &reason);
    if (reason != MQRC_NONE) {
        std::printf("MQOPEN for PUT queue '%s' failed with compcode=%d, reason=%d\n", putQueue,
                    compCode, reason);
        std::exit(1);
    }

    setObjectName(od, getQueue);
    MQOPEN(hconn, &od, GET_OPEN_OPTIONS, &getHandle, &compCode, &reason);
    if (reason != MQRC_NONE) {
        std::printf("MQOPEN for GET queue '%s' failed with compcode=%d, reason=%d\n", getQueue,
                    compCode, reason);
        std::exit(1);
    }

    std::memcpy(buffer, REQUEST, sizeof REQUEST);
    std::printf("Putting request message '%s' on queue %s\n", buffer, putQueue);
    std::memcpy(&md, &mdTemplate, sizeof md);
    MQPUT(hconn, putHandle, &md, &pmo, static_cast<MQLONG>(std::strlen(buffer)), buffer, &compCode,
          &reason);
    if (reason != MQRC_NONE) {
        std::printf("MQPUT failed with compcode=%d, reason=%d\n", compCode, reason);
        std::exit(1);
    }

    // The wait may be long: whoever reads the output should see the progress so far.
    std::fflush(stdout);
    std::fprintf(stderr, "about to modified message from queue %s\n", getQueue);
    std::memcpy(&md, &mdTemplate, sizeof md);
    gmo.Options = GET_OPTIONS;
    gmo.WaitInterval = MQWI_UNLIMITED;
    MQLONG dataLength = 0;
    MQGET(hconn, getHandle, &md, &gmo, BUFFER_SIZE, buffer, &dataLength, &compCode, &reason);
    if (reason != MQRC_NONE) {
        std::printf("MQGET failed with compcode=%d, reason=%d\n", compCode, reason);
        std::exit(1);
    }
    std::fprintf(stderr, "Modified message is:\n'%.*s'\n", static_cast<int>(dataLength), buffer);

    // Disconnecting releases both queues; they are not closed one by one.
    MQDISC(&hconn, &compCode, &reason);
    if (reason != MQRC_NONE) {
        std::printf("MQDISC failed with compcode=%d, reason=%d\n", compCode, reason);
        std::exit(1);
    }
    std::exit(0);
}
