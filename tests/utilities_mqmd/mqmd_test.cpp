// Message descriptor fields and dumps: reading the identifiers and reply fields, the two
// swaps, the message length with and without an existing bit stream, hex text.
#include <gtest/gtest.h>

#include <array>
#include <string>
#include <vector>

#include "tests/utilities_values/elements.h"
#include "trace/retcodes.h"
#include "utilities/mqmd.h"

using namespace utiltest;

namespace {

class MqmdTest : public MessageTest {
protected:
    MqmdTest() {
        for (uint8_t i = 0; i < 24; ++i) {
            descriptor.msgId[i] = i;
            descriptor.correlId[i] = static_cast<uint8_t>(0xC0 + i);
        }
        descriptor.replyToQ = "REPLY.Q";
        descriptor.replyToQMgr = "QM1";
        descriptor.putApplName = "tester";
        input = scope.input("<doc><a>1</a></doc>", "XML", descriptor);
    }
    std::string field(const char *name) {
        return testsupport::valueOf(testsupport::child(rootOf(input), std::string("MQMD.") + name));
    }
    static std::string padded(std::string text) { return text.append(48 - text.size(), ' '); }
    // The first `count` bytes of an identifier followed by one 0xee byte, as hexOf shows them.
    static std::string followedByEE(const std::array<uint8_t, 24> &id, size_t count) {
        std::vector<CciByte> bytes(id.begin(), id.begin() + static_cast<long>(count));
        bytes.push_back(0xEE);
        return hexOf(bytes.data(), bytes.size());
    }

    broker::Descriptor descriptor;
    CciMessage *input = nullptr;
};

TEST_F(MqmdTest, ReadsIdentifiersAsBytesAndReportsTheirLength) {
    CciByte bytes[30];
    memset(bytes, 0xEE, sizeof bytes);
    int length = 24;
    CciElement *element = nullptr;
    ASSERT_EQ(getMessageCharArrayValue(input, MESSAGE_ID, bytes, &length, &element), TT_SUCCESS);
    EXPECT_EQ(length, 24);
    EXPECT_EQ(hexOf(bytes, 25), followedByEE(descriptor.msgId, 24));
    EXPECT_EQ(element, testsupport::child(rootOf(input), "MQMD.MsgId"));

    memset(bytes, 0xEE, sizeof bytes);
    length = 10;
    ASSERT_EQ(getMessageCharArrayValue(input, CORREL_ID, bytes, &length, nullptr), TT_SUCCESS);
    EXPECT_EQ(length, 24) << "the full length, although only 10 bytes fitted";
    EXPECT_EQ(hexOf(bytes, 11), followedByEE(descriptor.correlId, 10));
}

TEST_F(MqmdTest, ReadsReplyFieldsAsTextAndKeepsTheCapacity) {
    CciChar text[49];
    int capacity = sizeof text;
    ASSERT_EQ(getMessageCharArrayValue(input, REPLY_TO_QUEUE, text, &capacity, nullptr),
              TT_SUCCESS);
    EXPECT_EQ(capacity, static_cast<int>(sizeof text));
    EXPECT_EQ(utf8(text), "REPLY.Q" + std::string(41, ' '));
}

TEST_F(MqmdTest, RefusesOtherFieldsAndMissingDescriptors) {
    CciChar text[64];
    int capacity = sizeof text;
    EXPECT_EQ(getMessageCharArrayValue(input, PUT_APPL_NAME, text, &capacity, nullptr),
              TT_INVALID_ELEMENT_TYPE_SPECIFIED);
    CciMessage *bare = newMessage("XML(a='1')");
    EXPECT_EQ(getMessageCharArrayValue(bare, REPLY_TO_QUEUE, text, &capacity, nullptr),
              TT_ELEMENT_NOT_FOUND);
    EXPECT_EQ(swapMessageIdAndCorrelId(bare), TT_CORRELID_NOT_FOUND);
    EXPECT_EQ(swapMessageReplyDetails(bare, u"Q", u"M", nullptr, 0, nullptr, 0),
              TT_FAILED_TO_GET_REPLY_TO_QUEUE_FROM_MESSAGE);
}

TEST_F(MqmdTest, SwapsMessageAndCorrelationIdentifiers) {
    const std::string msgId = field("MsgId");
    const std::string correlId = field("CorrelId");
    ASSERT_EQ(swapMessageIdAndCorrelId(input), TT_SUCCESS);
    EXPECT_EQ(field("MsgId"), correlId);
    EXPECT_EQ(field("CorrelId"), msgId);
}

TEST_F(MqmdTest, SwapsReplyDetailsSavingTheOldOnesWhenAsked) {
    CciChar oldQueue[49] = {0};
    CciChar oldManager[49] = {0};
    const std::u16string queue = u"NEW.REPLY" + std::u16string(39, u' ');
    ASSERT_EQ(swapMessageReplyDetails(input, queue.c_str(), u"QM2", oldQueue, sizeof oldQueue,
                                      oldManager, sizeof oldManager),
              TT_SUCCESS);
    EXPECT_EQ(utf8(oldQueue), "REPLY.Q" + std::string(41, ' '));
    EXPECT_EQ(utf8(oldManager), "QM1" + std::string(45, ' '));
    EXPECT_EQ(field("ReplyToQ"), padded("NEW.REPLY"));
    EXPECT_EQ(field("ReplyToQMgr"), "QM2") << "a short name is written as given, never over-read";

    ASSERT_EQ(swapMessageReplyDetails(input, u"THIRD", u"QM3", nullptr, 0, nullptr, 0), TT_SUCCESS);
    EXPECT_EQ(field("ReplyToQ"), "THIRD");
}

TEST_F(MqmdTest, OldValueBufferThatCannotHoldTextFails) {
    CciChar tiny[1];
    EXPECT_EQ(swapMessageReplyDetails(input, u"Q", u"M", tiny, 1, nullptr, 0),
              TT_FAILED_TO_GET_REPLY_TO_QUEUE_FROM_MESSAGE);
    EXPECT_EQ(field("ReplyToQ"), padded("REPLY.Q")) << "nothing written";
}

TEST_F(MqmdTest, LengthIsTheExistingBitStreamOrThatOfASerialisedCopy) {
    int rc = 0;
    int length = 0;
    ASSERT_NE(cniBufferSize(&rc, input), 0);
    ASSERT_EQ(getMessageLength(input, &length), TT_SUCCESS);
    EXPECT_EQ(length, cniBufferSize(&rc, input));

    CciMessage *built = newMessage();
    ASSERT_EQ(cniBufferSize(&rc, built), 0);
    cniCopyElementTree(&rc, rootOf(input), rootOf(built));
    ASSERT_EQ(getMessageLength(built, &length), TT_SUCCESS);
    EXPECT_EQ(length,
              static_cast<int>(broker::BITSTREAM_DESCRIPTOR_SIZE + broker::bodyOf(built).size()));
    EXPECT_EQ(cniBufferSize(&rc, built), 0) << "the message itself is not serialised";
    traceMessageBuffer(built); // with tracing off: must simply return
}

TEST(DispHexTest, WritesLowerCaseDigitPairs) {
    const CciByte bytes[] = {0x00, 0xAB, 0x10, 0xFF};
    char text[16];
    dispHex(bytes, 3, text);
    EXPECT_STREQ(text, "00ab10");
    dispHex(bytes, 4, text);
    EXPECT_STREQ(text, "00ab10ff");
    dispHex(bytes, 0, text);
    EXPECT_STREQ(text, "");
    dispHex(bytes, -3, text);
    EXPECT_STREQ(text, "");
}

} // namespace
