/*
 * Message descriptor fields and message dumps. Owns the reading and swapping of the
 * MQMD's MsgId, CorrelId, ReplyToQ and ReplyToQMgr fields, the measuring and hex dump
 * of a message's bit stream (through a temporary serialised copy when the message has
 * none yet), and dispHex, the byte-to-hexadecimal renderer that the value formatter
 * also uses. Fields are found with getMessageElement; request/reply flows call the
 * swaps. Nothing here is logged to the broker; failures are return codes and traces.
 */
#include "utilities/mqmd.h"

#include <string.h>

#include <algorithm>

#include "trace/retcodes.h"
#include "trace/trace.h"
#include "utilities/message.h"

namespace {

const char *matchTypeText(matchType_t matchType) {
    switch (matchType) {
    case MESSAGE_ID:
        return "MESSAGE_ID";
    case CORREL_ID:
        return "CORREL_ID";
    case REPLY_TO_QUEUE:
        return "REPLY_TO_QUEUE";
    case REPLY_TO_QUEUE_MANAGER:
        return "REPLY_TO_QUEUE_MANAGER";
    default:
        return "UNKNOWN";
    }
}

// The steps of making a serialised temporary copy, in order; the caller maps a failed
// step to its own exit reason.
enum copyStep {
    COPY_MADE = 0,
    COPY_NO_CONTEXT,
    COPY_NOT_CREATED,
    COPY_NOT_COPIED,
    COPY_NOT_WRITTEN
};

// Makes a copy of `message` in its context and serialises it, so that its bit stream
// can be measured or dumped. On success *copyP holds the copy, which the caller
// deletes; on failure nothing is left behind.
copyStep makeSerialisedCopy(CciMessage *message, CciMessage **copyP) {
    int rc = 0;
    *copyP = nullptr;
    CciMessageContext *context = cniGetMessageContext(&rc, message);
    if (rc != 0 || context == nullptr) {
        TRACE_ERROR_TEXT("Failed to get message context (cniGetMessageContext rc=%d)", rc);
        return COPY_NO_CONTEXT;
    }
    TRACE_INFO_TEXT("Message context got at %.8x", tracePtr(context));
    CciMessage *copy = cniCreateMessage(&rc, context);
    if (rc != 0 || copy == nullptr) {
        TRACE_ERROR_TEXT("Failed to create new message (cniCreateMessage rc=%d)", rc);
        return COPY_NOT_CREATED;
    }
    TRACE_INFO_TEXT("New message created at %.8x", tracePtr(copy));
    if (copyMessage(copy, message) != TT_SUCCESS) {
        TRACE_ERROR_TEXT("Failed to copy old message to new message");
        cniDeleteMessage(&rc, copy);
        return COPY_NOT_COPIED;
    }
    cniWriteBuffer(&rc, copy);
    if (rc != 0) {
        TRACE_ERROR_TEXT("Failed to serialize message to buffer (cniWriteBuffer rc=%d", rc);
        cniDeleteMessage(&rc, copy);
        return COPY_NOT_WRITTEN;
    }
    TRACE_INFO_TEXT("Message serialised to buffer");
    *copyP = copy;
    return COPY_MADE;
}

void deleteCopy(CciMessage *copy) {
    if (copy != nullptr) {
        int rc = 0;
        TRACE_INFO_TEXT("Message copy freed");
        cniDeleteMessage(&rc, copy);
    }
}

// Reads one 24-byte identifier; the local buffer is zero-filled first so that a
// shorter field still gives 24 defined bytes.
bool readIdentifier(CciElement *element, CciByte (&value)[MQMD_ID_LENGTH]) {
    int rc = 0;
    memset(value, 0, sizeof value);
    CciByteArray area = {value, MQMD_ID_LENGTH};
    cniElementByteArrayValue(&rc, element, &area);
    return rc == 0;
}

} // namespace

void dispHex(const void *data, int length, char *output) {
    static constexpr char digits[] = "0123456789abcdef";
    if (output == nullptr) {
        return;
    }
    output[0] = '\0';
    if (data == nullptr || length <= 0) {
        return;
    }
    const CciByte *bytes = static_cast<const CciByte *>(data);
    for (int i = 0; i < length; ++i) {
        output[2 * i] = digits[bytes[i] >> 4];
        output[2 * i + 1] = digits[bytes[i] & 0x0f];
    }
    output[2 * length] = '\0';
}

int getMessageCharArrayValue(CciMessage *message, matchType_t matchType, void *buffer,
                             int *bufferLengthP, CciElement **elementP) {
    TRACE_FUNCTION("getMessageCharArrayValue");
    TRACE_ENTRY("message=%.8x, matchType=%s, buffer=%.8x, *bufferLengthP=%d", tracePtr(message),
                matchTypeText(matchType), tracePtr(buffer),
                bufferLengthP != nullptr ? *bufferLengthP : 0);

    CciElement *element = getMessageElement(message, matchType);
    if (element == nullptr) {
        TRACE_ERROR_TEXT("Message element not found in message");
        TRACE_EXIT_INT(5, TT_ELEMENT_NOT_FOUND);
        return TT_ELEMENT_NOT_FOUND;
    }

    int rc = 0;
    const int capacity = bufferLengthP != nullptr ? std::max(*bufferLengthP, 0) : 0;
    switch (matchType) {
    case MESSAGE_ID:
    case CORREL_ID: {
        TRACE_INFO_TEXT("Calling cniElementByteArrayValue");
        CciByteArray area = {static_cast<CciByte *>(buffer), capacity};
        CciSize length = cniElementByteArrayValue(&rc, element, &area);
        if (rc == 0 && bufferLengthP != nullptr) {
            *bufferLengthP = length;
        }
        break;
    }
    case REPLY_TO_QUEUE:
    case REPLY_TO_QUEUE_MANAGER:
        TRACE_INFO_TEXT("Calling cniElementCharacterValue");
        cniElementCharacterValue(&rc, element, static_cast<CciChar *>(buffer), capacity);
        break;
    default:
        TRACE_ERROR_TEXT("Unknown data type specified, matchType = %d",
                         static_cast<int>(matchType));
        TRACE_EXIT_INT(7, TT_INVALID_ELEMENT_TYPE_SPECIFIED);
        return TT_INVALID_ELEMENT_TYPE_SPECIFIED;
    }

    if (rc != 0 || bufferLengthP == nullptr) {
        TRACE_ERROR_TEXT("Failed to extract element value from message (rc=%d)", rc);
        TRACE_EXIT_INT(8, TT_ELEMENT_VALUE_NOT_RETRIEVED);
        return TT_ELEMENT_VALUE_NOT_RETRIEVED;
    }
    if (elementP != nullptr) {
        TRACE_INFO_TEXT("Returning element at %.8x", tracePtr(element));
        *elementP = element;
    }
    // The identifier's reported length may exceed what the buffer holds; the dump never
    // reads past the capacity.
    TRACE_INFO_TEXT("Element value retrieved, length is %d, value is...", *bufferLengthP);
    TRACE_HEXDUMP(buffer, std::min(std::max(*bufferLengthP, 0), capacity));
    TRACE_EXIT_INT(9, TT_SUCCESS);
    return TT_SUCCESS;
}

namespace {

// How one identifier field reads in the traces of the swap.
struct identifierTexts {
    const char *name;       // "CorrelId"
    const char *missing;    // the field is not in the message
    const char *unreadable; // the field holds no byte array
};

const identifierTexts CORREL_ID_TEXTS = {"CorrelId", "CorrelId element not found in message",
                                         "Failed to extract Correl Id from message"};
const identifierTexts MSG_ID_TEXTS = {"MsgId", "MsgId element not found in message",
                                      "Failed to extract Message Id from message"};

enum identifierRead { IDENTIFIER_READ, IDENTIFIER_MISSING, IDENTIFIER_UNREADABLE };

// Finds an identifier field and copies its 24 bytes into `value`, tracing the value or
// what went wrong; `*elementP` is the field's element once found.
identifierRead readTracedIdentifier(CciMessage *message, matchType_t field,
                                    const identifierTexts &texts, CciElement **elementP,
                                    CciByte (&value)[MQMD_ID_LENGTH]) {
    *elementP = getMessageElement(message, field);
    if (*elementP == nullptr) {
        TRACE_ERROR_TEXT("%s", texts.missing);
        return IDENTIFIER_MISSING;
    }
    if (!readIdentifier(*elementP, value)) {
        TRACE_ERROR_TEXT("%s", texts.unreadable);
        return IDENTIFIER_UNREADABLE;
    }
    char hexText[2 * MQMD_ID_LENGTH + 1];
    dispHex(value, MQMD_ID_LENGTH, hexText);
    TRACE_INFO_TEXT("%s value is %s", texts.name, hexText);
    return IDENTIFIER_READ;
}

// Writes `value` into an identifier field, tracing it; false when the broker refused.
bool writeTracedIdentifier(CciElement *element, CciByte (&value)[MQMD_ID_LENGTH],
                           const identifierTexts &texts) {
    int rc = 0;
    TRACE_INFO_TEXT("Setting %s to...", texts.name);
    TRACE_HEXDUMP(value, MQMD_ID_LENGTH);
    CciByteArray area = {value, MQMD_ID_LENGTH};
    cniSetElementByteArrayValue(&rc, element, &area);
    if (rc != 0) {
        TRACE_ERROR_TEXT("Failed to set %s (cniSetElementByteArrayValue rc=%d)", texts.name, rc);
        return false;
    }
    return true;
}

} // namespace

int swapMessageIdAndCorrelId(CciMessage *message) {
    TRACE_FUNCTION("swapMessageIdAndCorrelId");
    TRACE_ENTRY("message=%.8x", tracePtr(message));

    CciByte correlId[MQMD_ID_LENGTH];
    CciByte msgId[MQMD_ID_LENGTH];

    CciElement *correlElement = nullptr;
    const identifierRead correlRead =
        readTracedIdentifier(message, CORREL_ID, CORREL_ID_TEXTS, &correlElement, correlId);
    if (correlRead != IDENTIFIER_READ) {
        TRACE_EXIT_INT(correlRead == IDENTIFIER_MISSING ? 43 : 44, TT_CORRELID_NOT_FOUND);
        return TT_CORRELID_NOT_FOUND;
    }
    CciElement *msgIdElement = nullptr;
    const identifierRead msgIdRead =
        readTracedIdentifier(message, MESSAGE_ID, MSG_ID_TEXTS, &msgIdElement, msgId);
    if (msgIdRead != IDENTIFIER_READ) {
        TRACE_EXIT_INT(msgIdRead == IDENTIFIER_MISSING ? 45 : 46, TT_MESSAGE_ID_NOT_FOUND);
        return TT_MESSAGE_ID_NOT_FOUND;
    }

    if (!writeTracedIdentifier(correlElement, msgId, CORREL_ID_TEXTS)) {
        TRACE_EXIT_INT(47, TT_FAILED_TO_SWAP_CORREL_AND_MSG_IDS);
        return TT_FAILED_TO_SWAP_CORREL_AND_MSG_IDS;
    }
    TRACE_INFO_TEXT("CorrelId successfully set to message id");

    if (!writeTracedIdentifier(msgIdElement, correlId, MSG_ID_TEXTS)) {
        TRACE_EXIT_INT(48, TT_FAILED_TO_SWAP_CORREL_AND_MSG_IDS);
        return TT_FAILED_TO_SWAP_CORREL_AND_MSG_IDS;
    }
    TRACE_INFO_TEXT("Message id successfully set to correl id");
    TRACE_EXIT_INT(49, TT_SUCCESS);
    return TT_SUCCESS;
}

namespace {

// Saves one reply field into the caller's buffer. A buffer that cannot hold even the
// terminator cannot receive a value, so it counts as a failed read.
bool saveReplyField(CciMessage *message, matchType_t matchType, CciChar *buffer, int capacity) {
    if (capacity < static_cast<int>(sizeof(CciChar))) {
        return false;
    }
    int length = capacity;
    CciElement *element = nullptr;
    return getMessageCharArrayValue(message, matchType, buffer, &length, &element) == TT_SUCCESS;
}

// The number of characters written into a 48-character MQMD field: the new name's own
// length when it is shorter, so that the broker never reads past the caller's text.
CciSize replyFieldLength(const CciChar *name) {
    CciSize length = 0;
    while (length < MQMD_QUEUE_NAME_LENGTH && name[length] != 0) {
        ++length;
    }
    return length;
}

} // namespace

int swapMessageReplyDetails(CciMessage *message, const CciChar *newReplyToQueue,
                            const CciChar *newReplyToQueueManager, CciChar *oldReplyToQueue,
                            int oldReplyToQueueLength, CciChar *oldReplyToQueueManager,
                            int oldReplyToQueueManagerLength) {
    TRACE_FUNCTION("swapMessageReplyDetails");
    TRACE_ENTRY("message=%.8x, newReplyToQueue='%S', newReplyToQueueManager='%S', "
                "oldReplyToQueue=%.8x, oldReplyToQueueManager=%.8x, oldReplyToQueueLength=%d, "
                "oldReplyToQueueManagerLength=%d",
                tracePtr(message), newReplyToQueue, newReplyToQueueManager,
                tracePtr(oldReplyToQueue), tracePtr(oldReplyToQueueManager), oldReplyToQueueLength,
                oldReplyToQueueManagerLength);

    if (oldReplyToQueue != nullptr) {
        if (!saveReplyField(message, REPLY_TO_QUEUE, oldReplyToQueue, oldReplyToQueueLength)) {
            TRACE_ERROR_TEXT("Failed to retrieve ReplyToQueue from message");
            TRACE_EXIT_INT(50, TT_FAILED_TO_GET_REPLY_TO_QUEUE_FROM_MESSAGE);
            return TT_FAILED_TO_GET_REPLY_TO_QUEUE_FROM_MESSAGE;
        }
        TRACE_INFO_TEXT("ReplyToQueue '%S' (%d bytes) successfully extracted from old message",
                        static_cast<const CciChar *>(oldReplyToQueue), oldReplyToQueueLength);
    } else {
        TRACE_INFO_TEXT("Old ReplyToQueue name not saved");
    }

    if (oldReplyToQueueManager != nullptr) {
        if (!saveReplyField(message, REPLY_TO_QUEUE_MANAGER, oldReplyToQueueManager,
                            oldReplyToQueueManagerLength)) {
            TRACE_ERROR_TEXT("Failed to retrieve ReplyToQueueManager from message");
            TRACE_EXIT_INT(51, TT_FAILED_TO_GET_REPLY_TO_QUEUE_MANAGER_FROM_MESSAGE);
            return TT_FAILED_TO_GET_REPLY_TO_QUEUE_MANAGER_FROM_MESSAGE;
        }
        TRACE_INFO_TEXT(
            "ReplyToQueueManager '%S' (%d bytes) successfully extracted from old message",
            static_cast<const CciChar *>(oldReplyToQueueManager), oldReplyToQueueManagerLength);
    } else {
        TRACE_INFO_TEXT("Old ReplyToQueueManager name not saved");
    }

    int rc = 0;
    CciElement *root = cniRootElement(&rc, message);
    if (rc != 0 || root == nullptr) {
        TRACE_ERROR_TEXT("cniRootElement for message FAILED");
        TRACE_EXIT_INT(52, TT_FAILED_TO_GET_MESSAGE_ROOT);
        return TT_FAILED_TO_GET_MESSAGE_ROOT;
    }
    TRACE_INFO_TEXT("Addressed message root element at %.8x", tracePtr(root));

    CciElement *queueElement = getMessageElement(message, REPLY_TO_QUEUE);
    if (queueElement == nullptr) {
        TRACE_ERROR_TEXT("ReplyToQ element not found in message");
        TRACE_EXIT_INT(53, TT_FAILED_TO_GET_REPLY_TO_QUEUE_FROM_MESSAGE);
        return TT_FAILED_TO_GET_REPLY_TO_QUEUE_FROM_MESSAGE;
    }
    CciElement *managerElement = getMessageElement(message, REPLY_TO_QUEUE_MANAGER);
    if (managerElement == nullptr) {
        TRACE_ERROR_TEXT("ReplyToQMgr element not found in message");
        TRACE_EXIT_INT(54, TT_FAILED_TO_GET_REPLY_TO_QUEUE_MANAGER_FROM_MESSAGE);
        return TT_FAILED_TO_GET_REPLY_TO_QUEUE_MANAGER_FROM_MESSAGE;
    }

    if (newReplyToQueue == nullptr || newReplyToQueueManager == nullptr) {
        TRACE_ERROR_TEXT("No new reply-to queue or queue manager name given");
        TRACE_EXIT_INT(55, TT_FAILED_TO_SET_REPLY_TO_QUEUE_IN_MESSAGE);
        return TT_FAILED_TO_SET_REPLY_TO_QUEUE_IN_MESSAGE;
    }

    TRACE_INFO_TEXT("Setting ReplyToQueue to '%S'", newReplyToQueue);
    cniSetElementCharacterValue(&rc, queueElement, newReplyToQueue,
                                replyFieldLength(newReplyToQueue));
    if (rc != 0) {
        TRACE_ERROR_TEXT("Failed to set ReplyToQueue (cniSetElementCharacterValue rc=%d)", rc);
        TRACE_EXIT_INT(55, TT_FAILED_TO_SET_REPLY_TO_QUEUE_IN_MESSAGE);
        return TT_FAILED_TO_SET_REPLY_TO_QUEUE_IN_MESSAGE;
    }
    TRACE_INFO_TEXT("ReplyToQueue successfully set");

    TRACE_INFO_TEXT("Setting ReplyToQueueManager to '%S'", newReplyToQueueManager);
    cniSetElementCharacterValue(&rc, managerElement, newReplyToQueueManager,
                                replyFieldLength(newReplyToQueueManager));
    if (rc != 0) {
        TRACE_ERROR_TEXT("Failed to set ReplyToQueueManager (cniSetElementCharacterValue rc=%d)",
                         rc);
        TRACE_EXIT_INT(56, TT_FAILED_TO_SET_REPLY_TO_QUEUE_MANAGER_IN_MESSAGE);
        return TT_FAILED_TO_SET_REPLY_TO_QUEUE_MANAGER_IN_MESSAGE;
    }
    TRACE_INFO_TEXT("ReplyToQueueManager successfully set");
    TRACE_EXIT_INT(57, TT_SUCCESS);
    return TT_SUCCESS;
}

int getMessageLength(CciMessage *message, int *lengthP) {
    TRACE_FUNCTION("getMessageLength");
    TRACE_ENTRY("message=%.8x", tracePtr(message));

    int rc = 0;
    CciMessage *copy = nullptr;
    CciSize length = cniBufferSize(&rc, message);
    if (length == 0) {
        switch (makeSerialisedCopy(message, &copy)) {
        case COPY_MADE:
            break;
        case COPY_NO_CONTEXT:
            TRACE_EXIT_INT(58, TT_FAILED_TO_COPY_MESSAGE);
            return TT_FAILED_TO_COPY_MESSAGE;
        case COPY_NOT_CREATED:
            TRACE_EXIT_INT(59, TT_FAILED_TO_COPY_MESSAGE);
            return TT_FAILED_TO_COPY_MESSAGE;
        case COPY_NOT_COPIED:
            TRACE_EXIT_INT(60, TT_FAILED_TO_COPY_MESSAGE);
            return TT_FAILED_TO_COPY_MESSAGE;
        case COPY_NOT_WRITTEN:
            TRACE_EXIT_INT(61, TT_FAILED_TO_SERIALIZE_MESSAGE);
            return TT_FAILED_TO_SERIALIZE_MESSAGE;
        }
        length = cniBufferSize(&rc, copy);
    }
    TRACE_INFO_TEXT("Message buffer: length=%d", length);
    deleteCopy(copy);
    if (lengthP != nullptr) {
        *lengthP = length;
    }
    TRACE_EXIT_INT(62, TT_SUCCESS);
    return TT_SUCCESS;
}

void traceMessageBuffer(CciMessage *message) {
    TRACE_FUNCTION("traceMessageBuffer");
    TRACE_ENTRY("message=%.8x", tracePtr(message));

    int rc = 0;
    const CciByte *data = cniBufferPointer(&rc, message);
    if (rc != 0) {
        TRACE_ERROR_TEXT("cniBufferPointer failed with rc=%d", rc);
        TRACE_EXIT_VOID(63);
        return;
    }
    CciMessage *copy = nullptr;
    CciSize length = cniBufferSize(&rc, message);
    if (length == 0) {
        switch (makeSerialisedCopy(message, &copy)) {
        case COPY_MADE:
            break;
        case COPY_NO_CONTEXT:
            TRACE_EXIT_VOID(64);
            return;
        case COPY_NOT_CREATED:
            TRACE_EXIT_VOID(65);
            return;
        case COPY_NOT_COPIED:
            TRACE_EXIT_VOID(66);
            return;
        case COPY_NOT_WRITTEN:
            TRACE_EXIT_VOID(67);
            return;
        }
        data = cniBufferPointer(&rc, copy);
        if (rc != 0) {
            TRACE_ERROR_TEXT("cniBufferPointer failed with rc=%d", rc);
            deleteCopy(copy);
            TRACE_EXIT_VOID(68);
            return;
        }
        length = cniBufferSize(&rc, copy);
    }
    TRACE_INFO_TEXT("Message buffer: start=%.8x, length=%d, data is...", tracePtr(data), length);
    if (data != nullptr) {
        TRACE_HEXDUMP(data, length);
    }
    deleteCopy(copy);
    TRACE_EXIT_VOID(69);
}
