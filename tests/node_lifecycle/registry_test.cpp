// The flow registry (newest flow first, exact names) and the message-id index (ascending
// byte order, duplicates after their equals, look-up that stops once past).
#include <gtest/gtest.h>

#include <stdlib.h>

#include <string>
#include <vector>

#include "utilities/registry.h"

namespace {

std::vector<std::u16string> flowNames(const messageFlow_t &anchor) {
    std::vector<std::u16string> names;
    for (const messageFlow_t *entryP = anchor.next; entryP; entryP = entryP->next) {
        names.emplace_back(entryP->flowName);
    }
    return names;
}

void freeFlows(messageFlow_t &anchor) {
    for (messageFlow_t *entryP = anchor.next; entryP;) {
        messageFlow_t *nextP = entryP->next;
        free(entryP->flowName);
        free(entryP);
        entryP = nextP;
    }
    anchor.next = nullptr;
}

TEST(FlowRegistry, FindsFlowsByExactNameNewestFirst) {
    messageFlow_t anchor{};
    EXPECT_EQ(findMessageFlow(u"A", &anchor), nullptr) << "empty registry";

    messageFlow_t *a = addMessageFlow(u"A", &anchor);
    messageFlow_t *b = addMessageFlow(u"B", &anchor);
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(flowNames(anchor), (std::vector<std::u16string>{u"B", u"A"}));
    EXPECT_EQ(b->prev, &anchor);
    EXPECT_EQ(a->prev, b);

    EXPECT_EQ(findMessageFlow(u"A", &anchor), a);
    EXPECT_EQ(findMessageFlow(u"B", &anchor), b);
    EXPECT_EQ(findMessageFlow(u"a", &anchor), nullptr);
    EXPECT_EQ(findMessageFlow(u"AB", &anchor), nullptr);
    freeFlows(anchor);
}

std::vector<CciByte> id(CciByte first, CciByte last = 0) {
    std::vector<CciByte> bytes(MSG_ID_LENGTH, 0x55);
    bytes.front() = first;
    bytes.back() = last;
    return bytes;
}

/* The leading and trailing byte of each element, in list order. */
std::string order(const msgIdIndexElement_t &anchor) {
    std::string text;
    for (const msgIdIndexElement_t *e = anchor.next; e; e = e->next) {
        text +=
            std::to_string(e->msgId[0]) + "/" + std::to_string(e->msgId[MSG_ID_LENGTH - 1]) + " ";
    }
    return text;
}

void freeIndex(msgIdIndexElement_t &anchor) {
    for (msgIdIndexElement_t *e = anchor.next; e;) {
        msgIdIndexElement_t *next = e->next;
        free(e);
        e = next;
    }
    anchor.next = nullptr;
}

TEST(MessageIdIndex, KeepsAscendingByteOrderWithDuplicatesAfterTheirEquals) {
    msgIdIndexElement_t anchor{};
    for (auto bytes : {id(3), id(1), id(2), id(2, 9), id(2, 1), id(0x90)}) {
        ASSERT_NE(updateMsgIdIndex(bytes.data(), &anchor), nullptr);
    }
    // 0x90 sorts after 3: bytes compare unsigned.
    EXPECT_EQ(order(anchor), "1/0 2/0 2/1 2/9 3/0 144/0 ");
    for (const msgIdIndexElement_t *e = anchor.next; e; e = e->next) {
        EXPECT_EQ(e->prev->next, e) << "back link of " << int(e->msgId[0]);
    }

    msgIdIndexElement_t *first = updateMsgIdIndex(id(7).data(), &anchor);
    msgIdIndexElement_t *second = updateMsgIdIndex(id(7).data(), &anchor);
    EXPECT_EQ(first->next, second) << order(anchor);
    EXPECT_EQ(findMsgIndexElement(id(7).data(), &anchor), first);
    freeIndex(anchor);
}

TEST(MessageIdIndex, LookUpStopsOncePastTheIdentifier) {
    msgIdIndexElement_t anchor{};
    updateMsgIdIndex(id(5).data(), &anchor);
    updateMsgIdIndex(id(9).data(), &anchor);
    EXPECT_EQ(findMsgIndexElement(id(1).data(), &anchor), nullptr) << "smaller than the first";
    EXPECT_EQ(findMsgIndexElement(id(6).data(), &anchor), nullptr) << "between";
    EXPECT_EQ(findMsgIndexElement(id(10).data(), &anchor), nullptr) << "beyond the end";
    ASSERT_NE(findMsgIndexElement(id(9).data(), &anchor), nullptr);
    EXPECT_EQ(findMsgIndexElement(id(9).data(), &anchor)->msgId[0], 9);

    msgIdIndexElement_t empty{};
    EXPECT_EQ(findMsgIndexElement(id(1).data(), &empty), nullptr);
    freeIndex(anchor);
}

} // namespace
