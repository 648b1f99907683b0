/*
 * StampNode: an example message-flow node written in C against the broker interface
 * (trevane/cni.h) alone.
 *
 * It copies the message it receives, adds one element to the body's document element,
 * <Stamp>stamped</Stamp> unless its properties say otherwise, and sends the copy on
 * through its "out" terminal. A message without an XML document goes unchanged to
 * "failure" when that terminal is connected; otherwise the node raises an exception and
 * the input node backs the message out.
 *
 * Properties: element (the new element's name, default "Stamp"), value (its text,
 * default "stamped").
 *
 * The broker finds the node through the library's one entry point,
 * bipGetMessageflowNodeFactory, which makes the factory "StampFactory" with the node
 * class "StampNode".
 */
#include <stdlib.h>
#include <string.h>

#include "trevane/cni.h"

#define TEXT_SIZE 128 /* a property's text, in characters with the terminator */

typedef struct Stamp {
    CciTerminal *out;
    CciTerminal *failure;
    CciChar element[TEXT_SIZE];
    CciChar value[TEXT_SIZE];
} Stamp;

static size_t textLength(const CciChar *text) {
    size_t n = 0;
    while (text[n] != 0) {
        ++n;
    }
    return n;
}

/* Compares broker text with 8-bit ASCII text. */
static int textIs(const CciChar *text, const char *ascii) {
    size_t i = 0;
    for (; ascii[i] != '\0'; ++i) {
        if (text[i] != (CciChar)(unsigned char)ascii[i]) {
            return 0;
        }
    }
    return text[i] == 0;
}

/* Copies a text, refusing one that does not fit. */
static int copyText(CciChar *target, const CciChar *source) {
    size_t n = textLength(source);
    if (n + 1 > TEXT_SIZE) {
        return 0;
    }
    memcpy(target, source, (n + 1) * sizeof(CciChar));
    return 1;
}

static void setAscii(CciChar *target, const char *ascii) {
    size_t i = 0;
    for (; ascii[i] != '\0'; ++i) {
        target[i] = (CciChar)(unsigned char)ascii[i];
    }
    target[i] = 0;
}

static CciContext *createContext(CciFactory *factory, CciChar *nodeName, CciNode *node) {
    (void)factory;
    (void)nodeName;
    int rc = 0;
    Stamp *stamp = calloc(1, sizeof *stamp);
    if (stamp == NULL) {
        cciThrowException(&rc, CCI_FATAL_EXCEPTION, __FILE__, __LINE__, "createContext",
                          u"StampNode", 1, "out of memory", NULL);
    }
    setAscii(stamp->element, "Stamp");
    setAscii(stamp->value, "stamped");
    cniCreateInputTerminal(&rc, node, u"in");
    stamp->out = cniCreateOutputTerminal(&rc, node, u"out");
    stamp->failure = cniCreateOutputTerminal(&rc, node, u"failure");
    return stamp;
}

static void deleteContext(CciContext *context) {
    free(context);
}

static int setAttribute(CciContext *context, CciChar *name, CciChar *value) {
    Stamp *stamp = context;
    CciChar *target = textIs(name, "element") ? stamp->element
                      : textIs(name, "value") ? stamp->value
                                              : NULL;
    if (target == NULL) {
        return CCI_ATTRIBUTE_UNKNOWN;
    }
    if (!copyText(target, value) || (target == stamp->element && value[0] == 0)) {
        int rc = 0;
        cciThrowException(&rc, CCI_RECOVERABLE_EXCEPTION, __FILE__, __LINE__, "setAttribute",
                          u"StampNode", 2,
                          "StampNode: element must be a name of 1 to 127 characters and value "
                          "a text of at most 127",
                          NULL);
    }
    return CCI_ATTRIBUTE_OK;
}

static int getAttribute(CciContext *context, CciChar *name, CciChar *buffer, int size) {
    Stamp *stamp = context;
    const CciChar *source = textIs(name, "element") ? stamp->element
                            : textIs(name, "value") ? stamp->value
                                                    : NULL;
    if (source == NULL) {
        return CCI_ATTRIBUTE_UNKNOWN;
    }
    if ((int)textLength(source) + 1 > size) {
        return CCI_BUFFER_TOO_SMALL;
    }
    memcpy(buffer, source, (textLength(source) + 1) * sizeof(CciChar));
    return CCI_ATTRIBUTE_OK;
}

/* The document element of the body (the last child of Root): its first named child. */
static CciElement *documentElement(CciMessage *message) {
    int rc = 0;
    CciElement *root = cniRootElement(&rc, message);
    CciElement *body = root != NULL ? cniLastChild(&rc, root) : NULL;
    if (body == NULL || cniElementType(&rc, body) != CCI_ELEMENT_TYPE_XML_BODY) {
        return NULL;
    }
    for (CciElement *child = cniFirstChild(&rc, body); child != NULL;
         child = cniNextSibling(&rc, child)) {
        if (cniElementType(&rc, child) == CCI_ELEMENT_TYPE_NAME) {
            return child;
        }
    }
    return NULL;
}

static void evaluate(CciContext *context, CciMessage *destinationList, CciMessage *exceptionList,
                     CciMessage *message) {
    Stamp *stamp = context;
    int rc = 0;
    if (documentElement(message) == NULL) {
        if (cniIsTerminalAttached(&rc, stamp->failure)) {
            cniPropagate(&rc, stamp->failure, destinationList, exceptionList, message);
            if (rc == CCI_EXCEPTION) {
                cciRethrowLastException(NULL);
            }
            return;
        }
        cciThrowException(&rc, CCI_RECOVERABLE_EXCEPTION, __FILE__, __LINE__, "evaluate",
                          u"StampNode", 3, "StampNode: the message has no XML document", NULL);
    }

    /* The message received is read-only: stamp a copy. */
    CciMessage *copy = cniCreateMessage(&rc, cniGetMessageContext(&rc, message));
    if (copy == NULL) {
        cciThrowException(&rc, CCI_RECOVERABLE_EXCEPTION, __FILE__, __LINE__, "evaluate",
                          u"StampNode", 4, "StampNode: cannot create the output message", NULL);
    }
    cniCopyElementTree(&rc, cniRootElement(&rc, message), cniRootElement(&rc, copy));
    CciElement *document = documentElement(copy);
    CciElement *added = document != NULL ? cniCreateElementAsLastChild(&rc, document) : NULL;
    if (added == NULL) {
        cniDeleteMessage(&rc, copy);
        cciThrowException(&rc, CCI_RECOVERABLE_EXCEPTION, __FILE__, __LINE__, "evaluate",
                          u"StampNode", 5, "StampNode: cannot add the element", NULL);
    }
    cniSetElementType(&rc, added, CCI_ELEMENT_TYPE_NAME_VALUE);
    cniSetElementName(&rc, added, stamp->element);
    cniSetElementCharacterValue(&rc, added, stamp->value, (CciSize)textLength(stamp->value));

    rc = 0;
    cniPropagate(&rc, stamp->out, destinationList, exceptionList, copy);
    int deleted = 0;
    cniDeleteMessage(&deleted, copy);
    if (rc == CCI_EXCEPTION) {
        cciRethrowLastException(NULL); /* a node downstream failed: let the flow see it */
    }
}

__attribute__((visibility("default"))) void *bipGetMessageflowNodeFactory(void) {
    int rc = 0;
    CciFactory *factory = cniCreateNodeFactory(&rc, u"StampFactory");
    static CNI_VFT table = CNI_VFT_DEFAULT;
    table.iFpCreateContext = createContext;
    table.iFpDeleteContext = deleteContext;
    table.iFpSetAttribute = setAttribute;
    table.iFpGetAttribute = getAttribute;
    table.iFpEvaluate = evaluate;
    cniDefineNodeClass(&rc, factory, u"StampNode", &table);
    return factory;
}
