/*
 * Messages and contexts: the environment a context's messages share, deletion, the
 * input message's shape, the descriptor in and out of the MQMD, and the bit stream.
 */
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "broker/host.h"
#include "tests/support/support.h"
#include "trevane/cni.h"

using namespace testsupport;

namespace {

CciElement *root(CciMessage *message) {
    return cniRootElement(nullptr, message);
}

broker::Descriptor sampleDescriptor() {
    broker::Descriptor d;
    d.format = "MQSTR";
    d.replyToQ = "REPLY.Q";
    d.replyToQMgr = "QM1";
    d.putApplName = "flowping";
    d.priority = 4;
    d.persistence = 1;
    for (int i = 0; i < 24; ++i) {
        d.msgId[i] = static_cast<uint8_t>(i + 1);
        d.correlId[i] = static_cast<uint8_t>(0xF0 - i);
    }
    return d;
}

TEST(Messages, MessagesOfOneContextShareTheEnvironment) {
    MessageScope scope;
    CciMessage *a = scope.message();
    int rc = -1;
    CciMessage *b = cniCreateMessage(&rc, cniGetMessageContext(&rc, a));
    ASSERT_EQ(rc, CCI_SUCCESS);
    CciMessage *environment = cniGetEnvironmentMessage(&rc, a);
    EXPECT_EQ(cniGetEnvironmentMessage(&rc, b), environment);
    build(root(environment), "Variables(Code=42)");
    EXPECT_EQ(dumpMessage(cniGetEnvironmentMessage(&rc, b)), "Variables(Code=42)");
    MessageScope other;
    EXPECT_NE(cniGetEnvironmentMessage(&rc, other.message()), environment);
    cniDeleteMessage(&rc, environment);
    EXPECT_NE(rc, CCI_SUCCESS); // it goes with its context
}

TEST(Messages, DeletingAContextDeletesTheMessagesLeftInIt) {
    CciMessageContext *context = broker::createContext();
    int rc = 0;
    for (int i = 0; i < 5; ++i) {
        CciMessage *m = cniCreateMessage(&rc, context);
        build(root(m), "XML(a(b('text')))");
        if (i % 2 == 0) {
            cniDeleteMessage(&rc, m);
        }
    }
    cniGetEnvironmentMessage(&rc, cniCreateMessage(&rc, context));
    broker::deleteContext(context); // ASan reports what would be left behind
}

TEST(Messages, InputMessageHasPropertiesMqmdAndBodyInOrder) {
    MessageScope scope;
    CciMessage *m = scope.input("<outer><tag1>data1</tag1></outer>", "XML", sampleDescriptor());
    std::vector<std::string> names;
    for (CciElement *c = cniFirstChild(nullptr, root(m)); c; c = cniNextSibling(nullptr, c)) {
        names.push_back(dump(c).substr(0, dump(c).find('(')));
    }
    EXPECT_EQ(names, (std::vector<std::string>{"Properties", "MQMD", "XML"}));
    CciElement *mqmd = child(root(m), "MQMD");
    EXPECT_EQ(dump(child(mqmd, "Format")), "Format='MQSTR   '");
    EXPECT_EQ(valueOf(child(mqmd, "ReplyToQ")), "REPLY.Q" + std::string(41, ' '));
    EXPECT_EQ(dump(child(mqmd, "MsgId")),
              "MsgId=X'0102030405060708090a0b0c0d0e0f101112131415161718'");
    EXPECT_EQ(dump(child(mqmd, "Priority")), "Priority=4");
    EXPECT_EQ(dump(child(root(m), "XML")), "XML(outer(tag1('data1')))");
}

TEST(Messages, BlobInputKeepsItsBytes) {
    MessageScope scope;
    std::string bytes("\x00\x01<not xml>\xff", 12);
    CciMessage *m = scope.input(bytes, "none");
    EXPECT_EQ(dump(child(root(m), "BLOB")), "BLOB(BLOB=X'00013c6e6f7420786d6c3eff')");
    EXPECT_EQ(broker::bodyOf(m), bytes);
}

TEST(Messages, UnknownParserIsAClearError) {
    MessageScope scope;
    try {
        scope.input("{}", "JSON");
        FAIL() << "an unknown parser was accepted";
    } catch (const broker::Error &e) {
        EXPECT_NE(std::string(e.what()).find("JSON"), std::string::npos) << e.what();
    }
}

TEST(Descriptor, SurvivesTheTreeAndTheBitStream) {
    MessageScope scope;
    broker::Descriptor d = sampleDescriptor();
    CciMessage *m = scope.input("<a/>", "XML", d);
    broker::Descriptor back = broker::descriptorOf(m);
    EXPECT_EQ(back.format, "MQSTR");
    EXPECT_EQ(back.replyToQ, "REPLY.Q");
    EXPECT_EQ(back.putApplName, "flowping");
    EXPECT_EQ(back.msgId, d.msgId);
    EXPECT_EQ(back.correlId, d.correlId);
    EXPECT_EQ(back.priority, 4);
    broker::Descriptor decoded;
    ASSERT_TRUE(broker::decodeDescriptor(broker::encodeDescriptor(d), decoded));
    EXPECT_EQ(decoded.replyToQMgr, "QM1");
    EXPECT_EQ(decoded.correlId, d.correlId);
    EXPECT_EQ(decoded.expiry, -1);
    EXPECT_FALSE(broker::decodeDescriptor("TRMD short", decoded));
}

TEST(BitStream, InputMessageKeepsTheBytesItCameWith) {
    MessageScope scope;
    std::string body = "<a  x = '1' ></a>";
    CciMessage *m = scope.input(body);
    int rc = -1;
    ASSERT_EQ(cniBufferSize(&rc, m),
              static_cast<CciSize>(broker::BITSTREAM_DESCRIPTOR_SIZE + body.size()));
    const CciByte *bytes = cniBufferPointer(&rc, m);
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(bytes) + broker::BITSTREAM_DESCRIPTOR_SIZE,
                          body.size()),
              body);
}

TEST(BitStream, WriteBufferGivesDescriptorThenBody) {
    MessageScope scope;
    CciMessage *m = scope.message("Properties, MQMD(Format='XML     ', Priority=7), "
                                  "XML(outer(tag1('a&b'), Status='23505'))");
    int rc = -1;
    EXPECT_EQ(cniBufferSize(&rc, m), 0);
    EXPECT_EQ(cniBufferPointer(&rc, m), nullptr);
    CciSize size = cniWriteBuffer(&rc, m);
    ASSERT_EQ(rc, CCI_SUCCESS);
    ASSERT_EQ(cniBufferSize(&rc, m), size);
    std::string stream(reinterpret_cast<const char *>(cniBufferPointer(&rc, m)),
                       static_cast<size_t>(size));
    broker::Descriptor d;
    ASSERT_TRUE(broker::decodeDescriptor(stream, d));
    EXPECT_EQ(d.format, "XML");
    EXPECT_EQ(d.priority, 7);
    EXPECT_EQ(d.codedCharSetId, 1208);
    EXPECT_EQ(stream.substr(broker::BITSTREAM_DESCRIPTOR_SIZE),
              "<outer><tag1>a&amp;b</tag1><Status>23505</Status></outer>");
}

TEST(BitStream, FieldOfTheWrongKindGivesAPendingExceptionNamingIt) {
    struct Case {
        const char *mqmd;
        const char *field;
    } cases[] = {
        {"MQMD(MsgId='text')", "MsgId"},
        {"MQMD(Priority='high')", "Priority"},
        {"MQMD(Format='TOO LONG FORMAT')", "Format"},
        {"MQMD(CorrelId=X'00000000000000000000000000000000000000000000000000')", "CorrelId"},
        {"MQMD(Expiry=5000000000)", "Expiry"},
    };
    for (const Case &c : cases) {
        MessageScope scope;
        CciMessage *m = scope.message(c.mqmd);
        int rc = 0;
        EXPECT_EQ(cniWriteBuffer(&rc, m), 0) << c.mqmd;
        EXPECT_EQ(rc, CCI_EXCEPTION) << c.mqmd;
        CCI_EXCEPTION_ST data;
        cciGetLastExceptionData(&rc, &data);
        EXPECT_EQ(std::string(data.inserts), c.field) << data.traceText;
    }
}

TEST(BitStream, MessageWithoutMqmdGetsTheDefaultDescriptor) {
    MessageScope scope;
    CciMessage *m = scope.message("BLOB(BLOB=X'414243')");
    int rc = -1;
    EXPECT_EQ(cniWriteBuffer(&rc, m), static_cast<CciSize>(broker::BITSTREAM_DESCRIPTOR_SIZE + 3));
    EXPECT_EQ(rc, CCI_SUCCESS);
}

} // namespace
