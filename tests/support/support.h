/*
 * Test support for everything that runs inside the stand-in broker
 * (library trevane_test_support; link it and GTest).
 *
 * Trees in one line. A small notation builds and dumps element trees:
 *
 *     Root(Properties, MQMD(Format='XML     ', MsgId=X'0102'), XML(outer(@id='7', tag1('data1'))))
 *
 *   element := [name] ['[' type ']'] ['=' value] ['(' element {',' element} ')']
 *   name    := letters, digits and _ - . : $ (or "any text" in double quotes);
 *              a leading @ makes an XML attribute (type 0x03000100)
 *   value   := 'text' ('' for a quote) | 42 | -1 | 1.5 | TRUE | FALSE | X'00ab' (bytes)
 *            | B'0f' (bit array) | DEC'1.25' | D'2002-03-04' | T'09:05:07.5'
 *            | GT'...' (GMT time) | TS'2002-03-04 09:05:07.5' | GTS'...'
 *   type    := NAME | VALUE | NAME_VALUE | XML | DTD | ATTR | COMMENT | PI | UNKNOWN
 *            | 0x05000018 ...
 *
 * Without a type an element with a name and no value is NAME, with both NAME_VALUE, with
 * only a value VALUE; "XML" right below a message root is the XML body (0x01000010). The
 * dumper writes the same notation, so expectations read like the trees they describe:
 *
 *     MessageScope scope;
 *     CciMessage *in = scope.message("Properties, MQMD(Format='XML     '), XML(a('1'))");
 *     EXPECT_EQ(dumpMessage(out), "Properties, MQMD(...), XML(a('1'), Status='23505')");
 *
 * Exception lists use the same notation below their root:
 *
 *     CciMessage *list = scope.exceptionList(
 *         "RecoverableException(DatabaseException(Insert(Type=5, Text='x SQLSTATE=23505')))");
 *
 * Nodes. TestFlow holds a flow; node() creates a node of any class (a plug-in's, loaded
 * or linked, or a built-in), connect("a.out -> b.in") wires terminals, deliver() hands a
 * message to a node's input. The "TestSink" class (registerSinkClass, done by TestFlow)
 * records what reaches its "in" terminal and passes it on through "out"; its property
 * "raise" = "<type> <text>" makes it raise an exception of that type with that text
 * instead (for example "4 SQLSTATE=23505"); it also has a "failure" terminal.
 *
 *     TestFlow flow;
 *     flow.node("TrevaneNode", "trevane", {{"CopyValueTo", "Root.Status"}});
 *     flow.node("TestSink", "out");
 *     flow.connect("trevane.out -> out.in");
 *     EXPECT_EQ(flow.deliver("trevane", in, list), CCI_SUCCESS);
 *     ASSERT_EQ(sinkRecords("out").size(), 1u);
 *
 * Log and exceptions. LogCapture collects the log entries written while it lives;
 * raisedBy(fn) runs a node operation and answers the exception it raised, if any.
 */
#ifndef TREVANE_TESTS_SUPPORT_SUPPORT_H
#define TREVANE_TESTS_SUPPORT_SUPPORT_H

#include <functional>
#include <initializer_list>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "broker/host.h"
#include "trevane/cni.h"

namespace testsupport {

// ---- trees ------------------------------------------------------------------------------

/* Adds the comma-separated elements of `notation` as last children of `parent`; answers
   the first one added. Throws std::invalid_argument (with the position) on bad notation. */
CciElement *build(CciElement *parent, std::string_view notation);
/* The element and its subtree in the notation. */
std::string dump(const CciElement *element);
/* The children of the element, comma-separated (the form build() takes). */
std::string dumpChildren(const CciElement *element);
/* The children of the message's root (the form MessageScope::message takes). */
std::string dumpMessage(CciMessage *message);
/* One element a line, indented by depth: for assertion messages about big trees. */
std::string dumpIndented(const CciElement *element);

/* The element reached from `from` by a dotted path of child names ("MQMD.Format"); the
   first child of each name; null when a name is missing. */
CciElement *child(const CciElement *from, std::string_view path);
/* Texts of an element's value: CHAR as UTF-8, others in the notation's form. */
std::string valueOf(const CciElement *element);

/* Owns a message context for a test: every message made through it (and by nodes in
   it) is deleted with it. */
class MessageScope {
public:
    MessageScope();
    ~MessageScope();
    MessageScope(const MessageScope &) = delete;
    MessageScope &operator=(const MessageScope &) = delete;

    CciMessageContext *context() const { return context_; }
    /* A message whose root ("Root") holds the elements of `notation`. */
    CciMessage *message(std::string_view notation = "");
    /* An exception list (root "ExceptionList") holding the elements of `notation`. */
    CciMessage *exceptionList(std::string_view notation = "");
    /* A destination list (root "LocalEnvironment") holding the elements of `notation`. */
    CciMessage *destinationList(std::string_view notation = "");
    /* An input message as a queue would deliver it (Properties, MQMD, body by parser). */
    CciMessage *input(std::string_view body, std::string_view parser = "XML",
                      const broker::Descriptor &descriptor = {});

private:
    CciMessageContext *context_;
};

// ---- log ---------------------------------------------------------------------------------

/* Collects the broker log's entries (from any thread) while it lives. */
class LogCapture {
public:
    LogCapture();
    ~LogCapture();
    LogCapture(const LogCapture &) = delete;
    LogCapture &operator=(const LogCapture &) = delete;

    std::vector<broker::LogEntry> entries() const;
    /* The message numbers in the order written. */
    std::vector<int> numbers() const;
    /* The entries of that number. */
    std::vector<broker::LogEntry> withNumber(int number) const;
    void clear();
    /* The log lines, one per entry: for assertion messages. */
    std::string describe() const;

private:
    mutable std::mutex mutex_;
    std::vector<broker::LogEntry> entries_;
    int hook_;
};

// ---- exceptions --------------------------------------------------------------------------

struct Raised {
    CCI_EXCEPTION_ST record;      /* as cciGetLastExceptionData gives it */
    broker::ExceptionFrame frame; /* the exception as first raised */
    std::vector<broker::ExceptionFrame> frames;
    std::string text; /* what() of the exception */
};

/* Runs the operation; answers the broker exception it raised, or nothing. */
std::optional<Raised> raisedBy(const std::function<void()> &operation);
/* The thread's last exception as Raised (after a call answered CCI_EXCEPTION). */
std::optional<Raised> lastRaised();

// ---- nodes -------------------------------------------------------------------------------

/* What reached a sink node: the trees in the notation, plus the body bytes. */
struct SinkRecord {
    std::string message;         /* dumpMessage of the message */
    std::string exceptionList;   /* dumpMessage of the exception list ("" when none) */
    std::string destinationList; /* dumpMessage of the destination list */
    std::string body;            /* the body as it would be written (bodyOf) */
};

/* Registers the built-in class "TestSink" (input "in", outputs "out" and "failure");
   idempotent. */
void registerSinkClass();
/* Records of the sink node of that name (in any flow), oldest first. */
std::vector<SinkRecord> sinkRecords(std::string_view nodeName);
void clearSinkRecords();

/* A flow for one test; deletes its nodes (and the sink records) when it ends. */
class TestFlow {
public:
    explicit TestFlow(std::string_view name = "TestFlow");
    ~TestFlow();
    TestFlow(const TestFlow &) = delete;
    TestFlow &operator=(const TestFlow &) = delete;

    /* Creates a node and applies the properties in order (broker::Error on failure). */
    CciNode *
    node(std::string_view className, std::string_view nodeName,
         std::initializer_list<std::pair<std::string_view, std::string_view>> properties = {});
    /* "from.terminal -> to.terminal". */
    void connect(std::string_view connection);
    CciNode *operator[](std::string_view nodeName) const;
    /* Delivers to the node's input (null lists are made empty in the message's context). */
    int deliver(std::string_view nodeName, CciMessage *message, CciMessage *exceptionList = nullptr,
                CciMessage *destinationList = nullptr);
    broker::Flow *flow() const { return flow_; }

private:
    broker::Flow *flow_;
};

} // namespace testsupport

#endif
