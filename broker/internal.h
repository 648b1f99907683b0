/*
 * Declarations shared between the stand-in broker's own modules and nowhere else:
 * the broker's message catalogue, its raising helper, the XML parser and writer, and
 * the body writer behind cniWriteBuffer.
 */
#ifndef TREVANE_BROKER_INTERNAL_H
#define TREVANE_BROKER_INTERNAL_H

#include <string>
#include <string_view>
#include <vector>

#include "broker/host.h"
#include "broker/tree.h"

namespace broker {

/* The broker's own message source, with its catalogue in catalogues/TrevaneBroker.txt. */
inline constexpr const char *BROKER_CATALOGUE = "TrevaneBroker";

/* Numbers of the broker's own catalogue. */
enum BrokerMessage {
    MSG_XML_PARSE_ERROR = 2001,
    MSG_XML_WRITE_ERROR = 2002,
    MSG_NODE_EXCEPTION = 2003,
    MSG_DESCRIPTOR_FIELD = 2004,
    MSG_UNKNOWN_PARSER = 2005,
    MSG_NO_PENDING_EXCEPTION = 2006,
    MSG_PROPAGATION_TOO_DEEP = 2007,
};

/* A frame of the broker's own catalogue. */
ExceptionFrame brokerFrame(int type, const char *file, int line, const char *function, int number,
                           std::string traceText, std::vector<std::string> inserts);
/* Raises a BrokerException of the broker's own catalogue; saves it for the thread. */
[[noreturn]] void raise(ExceptionFrame frame);

/* Parses an XML document into a new XML body (last child of `parent`). Raises a parser
   exception on malformed input; what was built before the error is removed again. */
void parseXml(CciElement *parent, std::string_view document, int codedCharSetId);
/* Appends the document of an XML body to `out`; raises on a tree XML cannot hold. */
void writeXml(const CciElement *body, std::string &out);
/* Writes the body part of a message (the children of the root after its MQMD). */
void writeBody(const CciElement *root, std::string &out);

/* Adds the descriptor's fields to an MQMD element, in the bit stream's order. */
void fillMqmd(CciElement *mqmd, const Descriptor &descriptor);

/* Text form of an element's value as the XML writer and the dumpers use it. */
std::u16string valueText(const CciElement *element);

} // namespace broker

#endif
