/*
 * Nodes inside the stand-in broker: the plug-in loader, node creation and properties,
 * propagation through attached and unattached terminals, exceptions coming back as 0x40
 * and reaching "failure" terminals, broker information, the log and exception data.
 */
#include <gtest/gtest.h>

#include <dlfcn.h>
#include <pthread.h>
#include <string>

#include "broker/host.h"
#include "tests/support/support.h"
#include "trevane/cni.h"

using namespace testsupport;

namespace {

const broker::PluginLibrary &testPlugin() {
    return broker::loadPlugin(TEST_PLUGIN_PATH);
}

int entryCalls() {
    void *handle = dlopen(TEST_PLUGIN_PATH, RTLD_NOW | RTLD_NOLOAD);
    auto calls = reinterpret_cast<int (*)()>(dlsym(handle, "relayEntryCalls"));
    int n = calls == nullptr ? -1 : calls();
    if (handle != nullptr) {
        dlclose(handle);
    }
    return n;
}

std::string errorOf(const std::function<void()> &operation) {
    try {
        operation();
    } catch (const broker::Error &e) {
        return e.what();
    }
    return "(no error)";
}

class Nodes : public ::testing::Test {
protected:
    void SetUp() override { testPlugin(); }
    MessageScope scope;
    TestFlow flow{"OrderFlow"};
};

TEST_F(Nodes, LoaderCallsTheEntryPointOnceAndRecordsTheClasses) {
    const broker::PluginLibrary &first = testPlugin();
    const broker::PluginLibrary &again = broker::loadPlugin(TEST_PLUGIN_PATH);
    EXPECT_EQ(&first, &again);
    EXPECT_EQ(entryCalls(), 1);
    EXPECT_NE(first.factory, nullptr);
    EXPECT_EQ(first.classes, (std::vector<std::string>{"Relay", "BadCreate"}));
    EXPECT_TRUE(broker::classExists("Relay"));
}

TEST(Loader, FailuresNameTheLibraryAndTheReason) {
    std::string missing = errorOf([] { broker::loadPlugin("/nonexistent/libnothing.so"); });
    EXPECT_NE(missing.find("/nonexistent/libnothing.so"), std::string::npos) << missing;
    std::string noEntry = errorOf([] { broker::loadPlugin(TEST_NOENTRY_PATH); });
    EXPECT_NE(noEntry.find(TEST_NOENTRY_PATH), std::string::npos) << noEntry;
    EXPECT_NE(noEntry.find("bipGetMessageflowNodeFactory"), std::string::npos) << noEntry;
    std::string raising = errorOf([] { broker::loadPlugin(TEST_BADENTRY_PATH); });
    EXPECT_NE(raising.find("failed to create the resource initMutex"), std::string::npos)
        << raising;
    EXPECT_EQ(errorOf([] { broker::loadPlugin(TEST_BADENTRY_PATH); }), raising);
}

TEST_F(Nodes, PropagationFollowsConnectionsInOrder) {
    flow.node("Relay", "relay");
    flow.node("TestSink", "first");
    flow.node("TestSink", "second");
    flow.connect("relay.out -> first.in");
    flow.connect("relay.out -> second.in");
    CciMessage *in = scope.message("Properties, MQMD, XML(a('1'))");
    EXPECT_EQ(flow.deliver("relay", in), CCI_SUCCESS);
    ASSERT_EQ(sinkRecords("first").size(), 1u);
    ASSERT_EQ(sinkRecords("second").size(), 1u);
    EXPECT_EQ(sinkRecords("first")[0].message, "Properties, MQMD, XML(a('1'))");
    EXPECT_EQ(sinkRecords("second")[0].body, "<a>1</a>");
}

TEST_F(Nodes, UnattachedTerminalDeliversNothingAndIsNoError) {
    CciNode *relay = flow.node("Relay", "relay", {{"route", "other"}});
    flow.node("TestSink", "sink");
    flow.connect("relay.out -> sink.in");
    int rc = -1;
    EXPECT_FALSE(cniIsTerminalAttached(&rc, broker::outputTerminal(relay, "other")));
    EXPECT_TRUE(cniIsTerminalAttached(&rc, broker::outputTerminal(relay, "out")));
    EXPECT_EQ(rc, CCI_SUCCESS);
    EXPECT_EQ(cniPropagate(&rc, broker::outputTerminal(relay, "other"), scope.destinationList(),
                           scope.exceptionList(), scope.message("a")),
              0);
    EXPECT_EQ(rc, CCI_SUCCESS);
    EXPECT_EQ(flow.deliver("relay", scope.message("a")), CCI_SUCCESS);
    EXPECT_TRUE(sinkRecords("sink").empty());
}

TEST_F(Nodes, DownstreamExceptionComesBackAsPendingException) {
    CciNode *relay = flow.node("Relay", "relay");
    flow.node("TestSink", "db", {{"raise", "4 [IBM][CLI Driver] SQL0803N SQLSTATE=23505"}});
    flow.connect("relay.out -> db.in");
    int rc = 0;
    EXPECT_FALSE(cniPropagate(&rc, broker::outputTerminal(relay, "out"), scope.destinationList(),
                              scope.exceptionList(), scope.message("a")));
    EXPECT_EQ(rc, CCI_EXCEPTION);
    CCI_EXCEPTION_ST data;
    cciGetLastExceptionData(&rc, &data);
    EXPECT_EQ(rc, CCI_SUCCESS);
    EXPECT_EQ(data.type, CCI_DATABASE_EXCEPTION);
    EXPECT_STREQ(data.traceText, "[IBM][CLI Driver] SQL0803N SQLSTATE=23505");
    EXPECT_EQ(data.insertCount, 1);
    EXPECT_STREQ(data.inserts, "[IBM][CLI Driver] SQL0803N SQLSTATE=23505");
}

TEST_F(Nodes, ExceptionReachesAnAttachedFailureTerminalWithTheOriginalMessage) {
    flow.node("Relay", "db", {{"raise", "insert failed SQLSTATE=23505"}});
    flow.node("TestSink", "handler");
    flow.connect("db.failure -> handler.in");
    CciMessage *in = scope.message("Properties, MQMD, XML(order('7'))");
    EXPECT_EQ(flow.deliver("db", in), CCI_SUCCESS);
    ASSERT_EQ(sinkRecords("handler").size(), 1u);
    const SinkRecord r = sinkRecords("handler")[0];
    EXPECT_EQ(r.message, "Properties, MQMD, XML(order('7'))");
    // Rebuild the list that reached the handler to look into it field by field.
    CciMessage *list = scope.exceptionList(r.exceptionList);
    CciElement *outer = child(cniRootElement(nullptr, list), "RecoverableException");
    ASSERT_NE(outer, nullptr) << r.exceptionList;
    EXPECT_EQ(valueOf(child(outer, "Name")), "db");
    EXPECT_EQ(valueOf(child(outer, "Type")), "Relay");
    EXPECT_EQ(valueOf(child(outer, "Catalog")), "TrevaneBroker");
    CciElement *database = child(outer, "DatabaseException");
    ASSERT_NE(database, nullptr) << r.exceptionList;
    EXPECT_EQ(valueOf(child(database, "Function")), "relayEvaluate");
    EXPECT_EQ(valueOf(child(database, "Catalog")), "RelayCatalogue");
    EXPECT_EQ(valueOf(child(database, "Number")), "99");
    EXPECT_EQ(valueOf(child(database, "Text")), "insert failed SQLSTATE=23505");
    EXPECT_EQ(dump(child(database, "Insert")),
              "Insert(Type=5, Text='insert failed SQLSTATE=23505')");
}

TEST_F(Nodes, ExceptionWithoutFailureTerminalGoesUpstreamThroughEveryNode) {
    flow.node("Relay", "front");
    flow.node("Relay", "db", {{"raise", "SQLSTATE=42704"}});
    flow.node("TestSink", "catcher");
    flow.connect("front.out -> db.in");
    EXPECT_EQ(flow.deliver("front", scope.message("a")), CCI_EXCEPTION);
    auto raised = lastRaised();
    ASSERT_TRUE(raised.has_value());
    std::vector<std::string> path;
    for (const auto &f : raised->frames) {
        path.push_back(std::string(broker::exceptionTypeName(f.type)) + ":" + f.nodeName);
    }
    EXPECT_EQ(path, (std::vector<std::string>{"DatabaseException:db", "RecoverableException:db",
                                              "RecoverableException:front"}));
    EXPECT_TRUE(sinkRecords("catcher").empty());
}

TEST_F(Nodes, DownstreamExceptionSkipsTheFailureTerminalOfAnUpstreamNode) {
    // The relay passes the exception from db upstream; its own failure path must not
    // receive it as if the relay had failed, or the message would look handled.
    flow.node("Relay", "front");
    flow.node("Relay", "db", {{"raise", "SQLSTATE=42704"}});
    flow.node("TestSink", "frontFailure");
    flow.connect("front.out -> db.in");
    flow.connect("front.failure -> frontFailure.in");
    EXPECT_EQ(flow.deliver("front", scope.message("a")), CCI_EXCEPTION);
    EXPECT_TRUE(sinkRecords("frontFailure").empty());
    EXPECT_EQ(lastRaised()->frame.traceText, "SQLSTATE=42704");
}

TEST_F(Nodes, ExceptionFromTheFailurePathGoesUpstream) {
    flow.node("Relay", "db", {{"raise", "first"}});
    flow.node("TestSink", "handler", {{"raise", "0 second"}});
    flow.connect("db.failure -> handler.in");
    EXPECT_EQ(flow.deliver("db", scope.message("a")), CCI_EXCEPTION);
    EXPECT_EQ(lastRaised()->frame.traceText, "second");
}

// Loops that no deploy check saw (connected through the C++ side) end in the broker's
// 2007 exception at the bound, upstream past every failure terminal, instead of
// overflowing the stack: straight through "out", through a failure terminal that leads
// back to the failing node, and on a thread whose stack runs out before the bound.
TEST_F(Nodes, LoopingFlowEndsInAnExceptionAtTheBoundNotInAStackOverflow) {
    auto raisedNumber = [] {
        auto raised = broker::lastException();
        return raised == nullptr ? 0 : raised->frames.front().messageNumber;
    };
    flow.node("Relay", "self");
    flow.connect("self.out -> self.in");
    flow.node("Relay", "a");
    flow.node("Relay", "b");
    flow.node("TestSink", "aFailure");
    flow.connect("a.out -> b.in");
    flow.connect("b.out -> a.in");
    flow.connect("a.failure -> aFailure.in");
    flow.node("Relay", "failing", {{"raise", "always"}});
    flow.connect("failing.failure -> failing.in");

    EXPECT_EQ(flow.deliver("self", scope.message("a")), CCI_EXCEPTION);
    EXPECT_EQ(raisedNumber(), 2007);
    EXPECT_EQ(broker::lastException()->frames.size(),
              static_cast<size_t>(broker::MAX_PROPAGATION_DEPTH + 1));
    EXPECT_EQ(flow.deliver("a", scope.message("a")), CCI_EXCEPTION);
    EXPECT_EQ(raisedNumber(), 2007);
    EXPECT_TRUE(sinkRecords("aFailure").empty());
    EXPECT_EQ(flow.deliver("failing", scope.message("a")), CCI_EXCEPTION);
    EXPECT_EQ(raisedNumber(), 2007);

    // 512 KiB of stack: deep enough for the guard, too shallow for the bound's depth
    // if each level took 2 KiB or more.
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setstacksize(&attributes, 512 * 1024);
    struct Run {
        TestFlow *flow;
        CciMessage *message;
        int rc = 0;
        int number = 0;
    } run{&flow, scope.message("a")};
    pthread_t thread;
    ASSERT_EQ(pthread_create(
                  &thread, &attributes,
                  [](void *p) -> void * {
                      auto *r = static_cast<Run *>(p);
                      r->rc = r->flow->deliver("self", r->message);
                      auto raised = broker::lastException();
                      r->number = raised == nullptr ? 0 : raised->frames.front().messageNumber;
                      return nullptr;
                  },
                  &run),
              0);
    pthread_join(thread, nullptr);
    pthread_attr_destroy(&attributes);
    EXPECT_EQ(run.rc, CCI_EXCEPTION);
    EXPECT_EQ(run.number, 2007);
}

TEST_F(Nodes, CreateContextExceptionBecomesAClearError) {
    std::string error = errorOf([&] { flow.node("BadCreate", "bad"); });
    EXPECT_NE(error.find("'bad'"), std::string::npos) << error;
    EXPECT_NE(error.find("passed to createContext()"), std::string::npos) << error;
    EXPECT_EQ(flow["bad"], nullptr);
    error = errorOf([&] { flow.node("NoSuchClass", "x"); });
    EXPECT_NE(error.find("NoSuchClass"), std::string::npos) << error;
}

TEST_F(Nodes, PropertiesAreSetReadAndRefusedClearly) {
    CciNode *relay = flow.node("Relay", "relay", {{"route", "failure"}});
    EXPECT_EQ(broker::getProperty(relay, "route"), "failure");
    EXPECT_EQ(broker::getProperty(relay, "nothing"), std::nullopt);
    std::string refused = errorOf([&] { broker::setProperty(relay, "refuse", "now"); });
    EXPECT_NE(refused.find("property refused: now"), std::string::npos) << refused;
    EXPECT_NE(refused.find("'refuse'"), std::string::npos) << refused;
    std::string unknown = errorOf([&] { broker::setProperty(relay, "colour", "red"); });
    EXPECT_NE(unknown.find("does not know it"), std::string::npos) << unknown;
}

TEST_F(Nodes, ConnectionsNeedExistingTerminals) {
    flow.node("Relay", "relay");
    flow.node("TestSink", "sink");
    EXPECT_NE(errorOf([&] { flow.connect("relay.nowhere -> sink.in"); }).find("'nowhere'"),
              std::string::npos);
    EXPECT_NE(errorOf([&] { flow.connect("relay.out -> sink.out"); }).find("input terminal 'out'"),
              std::string::npos);
}

TEST_F(Nodes, DeletedNodeIsNoLongerATarget) {
    flow.node("Relay", "relay");
    CciNode *sink = flow.node("TestSink", "sink");
    flow.connect("relay.out -> sink.in");
    broker::deleteNode(sink);
    EXPECT_FALSE(cniIsTerminalAttached(nullptr, broker::outputTerminal(flow["relay"], "out")));
    EXPECT_EQ(flow.deliver("relay", scope.message("a")), CCI_SUCCESS);
}

TEST_F(Nodes, BrokerInfoGivesTheFourNamesInBytes) {
    broker::BrokerIdentity saved = broker::brokerIdentity();
    broker::setBrokerIdentity({"BRK1", "group", "QM.ONE"});
    CciNode *relay = flow.node("Relay", "relay");
    CciChar names[4][32];
    CciChar tiny[3];
    CNI_BROKER_INFO_ST info = {{names[0], sizeof names[0], 0},
                               {names[1], sizeof names[1], 0},
                               {tiny, sizeof tiny, 0},
                               {names[3], sizeof names[3], 0}};
    int rc = -1;
    cniGetBrokerInfo(&rc, relay, &info);
    EXPECT_EQ(rc, CCI_SUCCESS);
    EXPECT_TRUE(std::u16string(names[0]) == u"BRK1");
    EXPECT_TRUE(std::u16string(names[1]) == u"group");
    EXPECT_TRUE(std::u16string(tiny) == u"Or"); // "OrderFlow" cut to the buffer
    EXPECT_EQ(info.messageFlowName.dataLength, 9);
    EXPECT_TRUE(std::u16string(names[3]) == u"QM.ONE");
    cniGetBrokerInfo(nullptr, relay, nullptr); // a null record is refused, not a crash
    broker::setBrokerIdentity(saved);
}

TEST_F(Nodes, LogEntriesCarryCatalogueTextAndRawFields) {
    LogCapture log;
    flow.node("Relay", "relay", {{"log", "true"}});
    flow.deliver("relay", scope.message("a"));
    auto entries = log.withNumber(11);
    ASSERT_EQ(entries.size(), 1u) << log.describe();
    EXPECT_EQ(entries[0].logType, CCI_LOG_ERROR);
    EXPECT_EQ(entries[0].messageSource, "OSTRINV2_trevane");
    EXPECT_EQ(entries[0].inserts, (std::vector<std::string>{"BROKER", "CopyValueTo", "Root.X"}));
    EXPECT_EQ(entries[0].catalogueText,
              "Broker BROKER: the syntax element 'Root.X' named by the CopyValueTo property could "
              "not be located in the message.");
    std::string line = broker::formatLogLine(entries[0]);
    EXPECT_NE(line.find("Failed to locate specified syntax element 'Root.X' in message"),
              std::string::npos)
        << line;
}

TEST(Log, UnknownCatalogueKeepsTheRawEntry) {
    LogCapture log;
    int rc = -1;
    cciLog(&rc, CCI_LOG_INFORMATION, "f.cpp", 3, "fn", u"NoSuchCatalogue", 1, "raw %1 text", "a",
           nullptr);
    EXPECT_EQ(rc, CCI_SUCCESS);
    ASSERT_EQ(log.entries().size(), 1u);
    EXPECT_EQ(log.entries()[0].catalogueText, "");
    EXPECT_NE(log.describe().find("raw %1 text"), std::string::npos) << log.describe();
}

TEST(Log, CatalogueInsertsAreFilledByNumber) {
    EXPECT_EQ(broker::catalogueText("OSTRINV2_trevane", 10, {"TrevanePlugInFactory"}),
              "The Trevane plug-in factory TrevanePlugInFactory is loading.");
    EXPECT_EQ(broker::catalogueText("OSTRINV2_trevane", 3, {"B"}),
              "Broker B: the plug-in factory %2 failed to create the resource %3.");
    EXPECT_EQ(broker::catalogueText("../etc/passwd", 1, {}), "");
}

TEST(Exceptions, RecordHoldsTheFieldsCutToTheirSizes) {
    std::string longText(500, 'x');
    auto raised = raisedBy([&] {
        cciThrowException(nullptr, CCI_USER_EXCEPTION, "source.cpp", 12, "fn", u"Cat", 7,
                          longText.c_str(), "one", longText.c_str(), "three", nullptr);
    });
    ASSERT_TRUE(raised.has_value());
    const CCI_EXCEPTION_ST &r = raised->record;
    EXPECT_EQ(std::string(r.identifier, 4), "CEXC");
    EXPECT_EQ(r.type, CCI_USER_EXCEPTION);
    EXPECT_EQ(r.line, 12);
    EXPECT_EQ(r.messageNumber, 7);
    EXPECT_EQ(r.insertCount, 3);
    EXPECT_STREQ(r.file, "source.cpp");
    EXPECT_TRUE(std::u16string(r.messageSource) == u"Cat");
    EXPECT_EQ(std::string(r.traceText), longText.substr(0, sizeof r.traceText - 1));
    EXPECT_STREQ(r.inserts, "one"); // the long second insert does not fit; none after it
    EXPECT_EQ(r.inserts[4], '\0');
}

TEST(Exceptions, RethrowRaisesTheLastExceptionAgain) {
    auto first = raisedBy([] {
        cciThrowException(nullptr, CCI_DATABASE_EXCEPTION, "a.cpp", 1, "f", u"C", 5, "original",
                          nullptr);
    });
    auto again = raisedBy([] { cciRethrowLastException(nullptr); });
    ASSERT_TRUE(again.has_value());
    EXPECT_EQ(again->frame.traceText, "original");
    EXPECT_EQ(again->frame.type, CCI_DATABASE_EXCEPTION);
}

TEST(Exceptions, ExceptionListNestsFramesOutermostFirst) {
    broker::ExceptionFrame inner;
    inner.type = CCI_DATABASE_EXCEPTION;
    inner.traceText = "SQLSTATE=23505";
    inner.inserts = {"SQLSTATE=23505"};
    broker::BrokerException e(inner);
    broker::ExceptionFrame outer;
    outer.nodeName = "db";
    e.frames.push_back(outer);
    MessageScope scope;
    CciMessage *list = broker::createExceptionList(scope.context(), e);
    CciElement *top = cniFirstChild(nullptr, cniRootElement(nullptr, list));
    EXPECT_EQ(dump(child(top, "Name")), "Name='db'");
    EXPECT_EQ(dump(child(top, "DatabaseException.Insert")),
              "Insert(Type=5, Text='SQLSTATE=23505')");
}

TEST(Symbols, EveryCallOfTheInterfaceIsExported) {
    void *library = dlopen(BROKER_LIBRARY_PATH, RTLD_NOW | RTLD_NOLOAD);
    ASSERT_NE(library, nullptr) << dlerror();
    std::vector<std::string> missing;
    for (const char *name : {INTERFACE_CALLS}) {
        if (dlsym(library, name) == nullptr) {
            missing.push_back(name);
        }
    }
    dlclose(library);
    EXPECT_TRUE(missing.empty()) << "not exported: " << ::testing::PrintToString(missing);
}

} // namespace
