/*
 * The stand-in broker under several threads: one deployed flow delivered to from many
 * threads at once (each with its own message context), the log and its hooks, the
 * per-thread last exception, and the loader racing with itself.
 */
#include <gtest/gtest.h>

#include <atomic>
#include <dlfcn.h>
#include <string>
#include <thread>
#include <vector>

#include "broker/host.h"
#include "tests/support/support.h"
#include "trevane/cni.h"

using namespace testsupport;

namespace {

constexpr int THREADS = 4;
constexpr int MESSAGES = 200;

TEST(BrokerThreads, OneFlowServesManyThreads) {
    TestFlow flow;
    flow.node("TestSink", "front");
    flow.node("TestSink", "back");
    flow.node("TestSink", "failing", {{"raise", "4 SQLSTATE=23505"}});
    flow.node("TestSink", "handler");
    flow.connect("front.out -> back.in");
    flow.connect("back.out -> failing.in");
    flow.connect("failing.failure -> handler.in");
    LogCapture log;
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < THREADS; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < MESSAGES; ++i) {
                MessageScope scope;
                std::string document =
                    "<m t=\"" + std::to_string(t) + "\">" + std::to_string(i) + "</m>";
                CciMessage *in = scope.input(document);
                if (flow.deliver("front", in) != CCI_SUCCESS) {
                    failures++;
                }
                int rc = 0;
                cciLog(&rc, CCI_LOG_INFORMATION, "t.cpp", t, "thread", u"OSTRINV2_trevane", 10,
                       "Trevane Plugin Factory loading", "TrevanePlugInFactory", nullptr);
                if (cniWriteBuffer(&rc, in) == 0 || rc != CCI_SUCCESS) {
                    failures++;
                }
            }
        });
    }
    for (auto &thread : threads) {
        thread.join();
    }
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(sinkRecords("back").size(), static_cast<size_t>(THREADS * MESSAGES));
    EXPECT_EQ(sinkRecords("handler").size(), static_cast<size_t>(THREADS * MESSAGES));
    EXPECT_EQ(log.withNumber(10).size(), static_cast<size_t>(THREADS * MESSAGES));
}

TEST(BrokerThreads, LastExceptionBelongsToItsThread) {
    std::atomic<bool> mixed{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < THREADS; ++t) {
        threads.emplace_back([&, t] {
            std::string mine = "thread " + std::to_string(t);
            for (int i = 0; i < MESSAGES; ++i) {
                raisedBy([&] {
                    cciThrowException(nullptr, CCI_USER_EXCEPTION, "t.cpp", i, "f", u"C", t,
                                      mine.c_str(), nullptr);
                });
                CCI_EXCEPTION_ST data;
                int rc = 0;
                cciGetLastExceptionData(&rc, &data);
                if (mine != data.traceText) {
                    mixed = true;
                }
            }
        });
    }
    for (auto &thread : threads) {
        thread.join();
    }
    EXPECT_FALSE(mixed.load());
}

TEST(BrokerThreads, ConcurrentLoadsCallTheEntryPointOnce) {
    std::vector<std::thread> threads;
    std::vector<const broker::PluginLibrary *> records(THREADS);
    for (int t = 0; t < THREADS; ++t) {
        threads.emplace_back([&, t] { records[t] = &broker::loadPlugin(TEST_PLUGIN_PATH); });
    }
    for (auto &thread : threads) {
        thread.join();
    }
    for (const auto *r : records) {
        EXPECT_EQ(r, records[0]);
    }
    void *handle = dlopen(TEST_PLUGIN_PATH, RTLD_NOW | RTLD_NOLOAD);
    ASSERT_NE(handle, nullptr);
    auto calls = reinterpret_cast<int (*)()>(dlsym(handle, "relayEntryCalls"));
    ASSERT_NE(calls, nullptr);
    EXPECT_EQ(calls(), 1);
    dlclose(handle);
}

} // namespace
