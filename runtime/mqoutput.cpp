/*
 * The MQOutput node: writes the message (its descriptor and its body) to a queue. Under
 * a flow instance the put joins the instance's unit of work, so it becomes visible
 * only when MQInput commits the input message: the reply and the request's removal are
 * one atomic step. Terminals "in", "out" (the message after the put) and "failure".
 * Reached by the broker through its node-class table.
 */
#include <algorithm>
#include <cstring>

#include "runtime/builtin.h"
#include "runtime/builtins.h"

namespace runtime {

namespace {

constexpr PropertyDefinition MQOUTPUT_PROPERTIES[] = {
    {"queueName", nullptr, checkQueueName},
    {"newMessageId", "false", checkBoolean},
    {"label", "", nullptr},
};

// Writes text into a fixed-width field: zero bytes after it, cut at the width.
void setField(char *field, size_t width, const std::string &text) {
    std::memset(field, 0, width);
    std::memcpy(field, text.data(), std::min(width, text.size()));
}

MQMD descriptorFor(const broker::Descriptor &d) {
    MQMD md = MQMD_DEFAULT;
    md.Report = d.report;
    md.MsgType = d.msgType;
    md.Expiry = d.expiry;
    md.Feedback = d.feedback;
    md.Encoding = d.encoding;
    md.CodedCharSetId = d.codedCharSetId;
    std::memset(md.Format, ' ', sizeof md.Format);
    std::memcpy(md.Format, d.format.data(), std::min(sizeof md.Format, d.format.size()));
    md.Priority = d.priority;
    md.Persistence = d.persistence;
    std::memcpy(md.MsgId, d.msgId.data(), sizeof md.MsgId);
    std::memcpy(md.CorrelId, d.correlId.data(), sizeof md.CorrelId);
    md.BackoutCount = 0;
    setField(md.ReplyToQ, sizeof md.ReplyToQ, d.replyToQ);
    setField(md.ReplyToQMgr, sizeof md.ReplyToQMgr, d.replyToQMgr);
    return md;
}

bool hasXmlBody(CciMessage *message) {
    int rc = 0;
    CciElement *last = cniLastChild(&rc, cniRootElement(&rc, message));
    return last != nullptr && cniElementType(&rc, last) == CCI_ELEMENT_TYPE_XML_BODY;
}

class MQOutputNode : public BuiltinNode {
public:
    explicit MQOutputNode(CciNode *node) : BuiltinNode(node, MQOUTPUT_CLASS, MQOUTPUT_PROPERTIES) {
        addInput(u"in");
        out = addOutput(u"out");
        addOutput(u"failure");
    }

    void evaluate(CciMessage *destinationList, CciMessage *exceptionList,
                  CciMessage *message) override {
        const std::string queueName = property("queueName");
        QueueConnection *connection = currentConnection();
        if (connection == nullptr) {
            fail(MSG_NO_CONNECTION,
                 "Node '" + name() + "' (class MQOutput) has no queue manager connection: it " +
                     "runs only in a flow started by an MQInput node",
                 {name(), queueName});
        }
        broker::Descriptor descriptor = broker::descriptorOf(message);
        std::string body = broker::bodyOf(message);
        if (hasXmlBody(message)) {
            descriptor.codedCharSetId = MQCCSI_UTF8; // an XML body is written as UTF-8
        }
        MQMD md = descriptorFor(descriptor);
        MQPMO pmo = MQPMO_DEFAULT;
        pmo.Options = (connection->inUnitOfWork ? MQPMO_SYNCPOINT : MQPMO_NO_SYNCPOINT) |
                      MQPMO_FAIL_IF_QUIESCING;
        if (parseBoolean(property("newMessageId"))) {
            pmo.Options |= MQPMO_NEW_MSG_ID;
        }
        MQHOBJ queue = MQHO_UNUSABLE_HOBJ;
        MQLONG compCode = MQCC_FAILED;
        MQLONG reason = MQRC_NONE;
        if (!connection->outputQueue(queueName, queue, reason)) {
            fail(MSG_MQ_FAILURE,
                 "Node '" + name() + "': " +
                     mqFailure("MQOPEN", queueName, connection->queueManager(), compCode, reason),
                 {name(), queueName, std::to_string(reason)});
        }
        MQPUT(connection->handle(), queue, &md, &pmo, static_cast<MQLONG>(body.size()), body.data(),
              &compCode, &reason);
        if (compCode == MQCC_FAILED) {
            fail(MSG_MQ_FAILURE,
                 "Node '" + name() + "': " +
                     mqFailure("MQPUT", queueName, connection->queueManager(), compCode, reason),
                 {name(), queueName, std::to_string(reason)});
        }
        propagateOrRethrow(out, destinationList, exceptionList, message);
    }

private:
    [[noreturn]] void fail(int number, std::string text, std::vector<std::string> inserts) {
        raiseFrames({frame(CCI_RECOVERABLE_EXCEPTION, __FILE__, __LINE__, "MQOutputNode::evaluate",
                           number, std::move(text), std::move(inserts))});
    }

    CciTerminal *out;
};

} // namespace

void registerMQOutputClass() {
    registerBuiltin<MQOutputNode>(MQOUTPUT_CLASS);
}

} // namespace runtime
