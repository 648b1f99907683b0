// mqpeer: a second process for the queue manager tests. "hold" takes a message under
// syncpoint and keeps it until killed; "hold-put" also puts a reply under syncpoint on a
// second queue; "put-after" puts a message after a pause; "churn" puts and gets for a
// while and prints how many round trips it made.
#include "trevane/mq.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <unistd.h>

namespace {

int fail(const char *call, MQLONG reason) {
    std::printf("%s failed: %s\n", call, mqReasonName(reason));
    std::fflush(stdout);
    return 1;
}

// Round trips (a put and a get, each durable on return) on one queue until `ms` have
// passed; prints their number.
int churn(const char *qmgr, const char *queue, int ms) {
    MQHCONN hconn;
    MQHOBJ hobj;
    MQLONG compCode, reason;
    MQCONN(qmgr, &hconn, &compCode, &reason);
    if (reason != MQRC_NONE) {
        return fail("MQCONN", reason);
    }
    MQOD od = MQOD_DEFAULT;
    std::memcpy(od.ObjectName, queue, std::min(std::strlen(queue), sizeof od.ObjectName));
    MQOPEN(hconn, &od, MQOO_OUTPUT | MQOO_INPUT_SHARED, &hobj, &compCode, &reason);
    if (reason != MQRC_NONE) {
        return fail("MQOPEN", reason);
    }
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    int trips = 0;
    char body[16] = "churn";
    while (std::chrono::steady_clock::now() < end) {
        MQMD md = MQMD_DEFAULT;
        MQPMO pmo = MQPMO_DEFAULT;
        MQPUT(hconn, hobj, &md, &pmo, 5, body, &compCode, &reason);
        if (reason != MQRC_NONE) {
            return fail("MQPUT", reason);
        }
        MQMD got = MQMD_DEFAULT;
        MQGMO gmo = MQGMO_DEFAULT;
        MQLONG length = 0;
        MQGET(hconn, hobj, &got, &gmo, sizeof body, body, &length, &compCode, &reason);
        if (reason != MQRC_NONE) {
            return fail("MQGET", reason);
        }
        ++trips;
    }
    std::printf("%d\n", trips);
    return 0;
}

} // namespace

int main(int argc, char **argv) {
    std::string command = argc > 1 ? argv[1] : "";
    bool holdPut = command == "hold-put" && argc == 5;
    bool hold = (command == "hold" && argc == 4) || holdPut;
    bool putAfter = command == "put-after" && argc == 6;
    if (command == "churn" && argc == 5) {
        return churn(argv[2], argv[3], std::atoi(argv[4]));
    }
    if (!hold && !putAfter) {
        std::fprintf(stderr, "usage: mqpeer hold QMGR QUEUE | hold-put QMGR QUEUE REPLY_QUEUE |"
                             " put-after MS QMGR QUEUE TEXT | churn QMGR QUEUE MS\n");
        return 2;
    }
    const char *qmgr = hold ? argv[2] : argv[3];
    const char *queue = hold ? argv[3] : argv[4];
    if (putAfter) {
        std::this_thread::sleep_for(std::chrono::milliseconds(std::atoi(argv[2])));
    }
    MQHCONN hconn;
    MQHOBJ hobj;
    MQLONG compCode, reason;
    MQCONN(qmgr, &hconn, &compCode, &reason);
    if (reason != MQRC_NONE) {
        return fail("MQCONN", reason);
    }
    MQOD od = MQOD_DEFAULT;
    std::memcpy(od.ObjectName, queue, std::min(std::strlen(queue), sizeof od.ObjectName));
    MQOPEN(hconn, &od, hold ? MQOO_INPUT_SHARED : MQOO_OUTPUT, &hobj, &compCode, &reason);
    if (reason != MQRC_NONE) {
        return fail("MQOPEN", reason);
    }
    if (putAfter) {
        MQMD md = MQMD_DEFAULT;
        MQPMO pmo = MQPMO_DEFAULT;
        MQPUT(hconn, hobj, &md, &pmo, static_cast<MQLONG>(std::strlen(argv[5])), argv[5], &compCode,
              &reason);
        return reason == MQRC_NONE ? 0 : fail("MQPUT", reason);
    }
    MQMD md = MQMD_DEFAULT;
    MQGMO gmo = MQGMO_DEFAULT;
    gmo.Options = MQGMO_SYNCPOINT | MQGMO_WAIT;
    gmo.WaitInterval = 10000;
    char body[1024];
    MQLONG length = 0;
    MQGET(hconn, hobj, &md, &gmo, sizeof body, body, &length, &compCode, &reason);
    if (reason != MQRC_NONE) {
        return fail("MQGET", reason);
    }
    if (holdPut) {
        MQOD replyOd = MQOD_DEFAULT;
        std::memcpy(replyOd.ObjectName, argv[4],
                    std::min(std::strlen(argv[4]), sizeof replyOd.ObjectName));
        MQHOBJ reply;
        MQOPEN(hconn, &replyOd, MQOO_OUTPUT, &reply, &compCode, &reason);
        if (reason != MQRC_NONE) {
            return fail("MQOPEN", reason);
        }
        MQMD replyMd = MQMD_DEFAULT;
        MQPMO pmo = MQPMO_DEFAULT;
        pmo.Options = MQPMO_SYNCPOINT;
        MQPUT(hconn, reply, &replyMd, &pmo, length, body, &compCode, &reason);
        if (reason != MQRC_NONE) {
            return fail("MQPUT", reason);
        }
    }
    std::printf("held %.*s\n", static_cast<int>(length), body);
    std::fflush(stdout);
    for (;;) {
        ::pause();
    }
}
