/*
 * Message trees of the stand-in broker: elements, their arena, messages and contexts.
 *
 * Every element of a message comes from that message's arena and is freed only when the
 * message is deleted, all at once. Siblings form a doubly linked list, so appending,
 * inserting after an element and detaching are O(1). A detached element (or a subtree
 * replaced by cniCopyElementTree) stays valid memory until its message is deleted, so a
 * handle a node still holds never points into freed storage while the message lives.
 *
 * Called by the cni element and message calls (tree.cpp, message.cpp), the XML parser
 * and writer (xml.cpp), the exception lists (exception.cpp) and the host interface.
 * A message and its tree belong to one thread at a time; nothing here locks.
 */
#ifndef TREVANE_BROKER_TREE_H
#define TREVANE_BROKER_TREE_H

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "trevane/cni.h"

namespace broker {

/* A bump allocator: blocks grow from 16 KB to 64 KB; released only as a whole. */
class Arena {
public:
    Arena() = default;
    Arena(const Arena &) = delete;
    Arena &operator=(const Arena &) = delete;
    ~Arena();

    void *allocate(size_t size, size_t alignment = alignof(std::max_align_t));
    template <typename T> T *make() { return new (allocate(sizeof(T), alignof(T))) T(); }
    /* Bytes taken from the system so far (for tests of growth). */
    size_t reserved() const { return reserved_; }

private:
    struct Block {
        Block *next;
        size_t size;
    };
    Block *head_ = nullptr;
    char *cursor_ = nullptr;
    char *end_ = nullptr;
    size_t nextSize_ = 16384;
    size_t reserved_ = 0;
};

constexpr uint32_t ELEMENT_MAGIC = 0x454c454d; // "ELEM"
constexpr uint32_t MESSAGE_MAGIC = 0x4d534721; // "MSG!"
constexpr uint32_t CONTEXT_MAGIC = 0x43545821; // "CTX!"

/* Element flags kept by the broker beside the cni-visible fields. */
constexpr uint32_t FLAG_XML_DECLARATION = 0x1; /* XML body: the document had a declaration */
constexpr uint32_t FLAG_STANDALONE_YES = 0x2;
constexpr uint32_t FLAG_STANDALONE_NO = 0x4;

union ElementValue {
    CciBool boolean;
    CciInt integer;
    CciReal real;
    CciTime time;
    CciDate date;
    CciTimestamp timestamp;
    struct {
        void *data;   /* CciChar text (terminated) or bytes, in the arena */
        int32_t size; /* units for texts, bytes for arrays */
        int32_t capacity;
    } array;
};

} // namespace broker

struct CciElement {
    uint32_t magic;
    CciElementType type;
    CciMessage *message;
    CciElement *parent;
    CciElement *firstChild;
    CciElement *lastChild;
    CciElement *previous;
    CciElement *next;
    const CciChar *name; /* terminated, in the arena; null when the element has none */
    int32_t nameLength;
    CciValueType valueType;
    uint32_t flags;
    broker::ElementValue value;
};

struct CciMessage {
    uint32_t magic = broker::MESSAGE_MAGIC;
    CciMessageContext *context = nullptr;
    CciMessage *previousInContext = nullptr;
    CciMessage *nextInContext = nullptr;
    bool isEnvironment = false;
    broker::Arena arena;
    CciElement *root = nullptr;
    bool hasBitstream = false;
    std::vector<CciByte> bitstream;
    ~CciMessage() { magic = 0; }
};

struct CciMessageContext {
    uint32_t magic = broker::CONTEXT_MAGIC;
    CciMessage *firstMessage = nullptr;
    CciMessage *environment = nullptr;
    ~CciMessageContext() { magic = 0; }
};

namespace broker {

/* The element, or null when the pointer is null or does not name an element. */
inline CciElement *asElement(CciElement *element) {
    return element != nullptr && element->magic == ELEMENT_MAGIC ? element : nullptr;
}
inline CciMessage *asMessage(CciMessage *message) {
    return message != nullptr && message->magic == MESSAGE_MAGIC ? message : nullptr;
}
inline CciMessageContext *asContext(CciMessageContext *context) {
    return context != nullptr && context->magic == CONTEXT_MAGIC ? context : nullptr;
}

/* A new element of the message, unlinked, without name, type or value. */
CciElement *newElement(CciMessage *message);
/* Links `child` (unlinked) as the last child of `parent`. */
void appendChild(CciElement *parent, CciElement *child);
/* Links `element` (unlinked) right after `anchor`, which must have a parent. */
void insertAfter(CciElement *anchor, CciElement *element);
/* Takes the element and its subtree out of its tree. */
void detach(CciElement *element);

/* Name and value setters working on the element's own arena. */
void setName(CciElement *element, std::u16string_view name);
void setCharacter(CciElement *element, std::u16string_view text, CciValueType valueType);
void setBytes(CciElement *element, const void *data, size_t size, CciValueType valueType);
inline std::u16string_view nameOf(const CciElement *element) {
    return element->name == nullptr
               ? std::u16string_view()
               : std::u16string_view(element->name, static_cast<size_t>(element->nameLength));
}
inline std::u16string_view textOf(const CciElement *element) {
    return std::u16string_view(static_cast<const CciChar *>(element->value.array.data),
                               static_cast<size_t>(element->value.array.size));
}
inline bool nameIs(const CciElement *element, std::u16string_view name) {
    return nameOf(element) == name && (element->name != nullptr || name.empty());
}

/* Convenience builders used by the broker itself. */
CciElement *addChild(CciElement *parent, CciElementType type, std::u16string_view name);
CciElement *addCharacter(CciElement *parent, std::u16string_view name, std::u16string_view text);
CciElement *addInteger(CciElement *parent, std::u16string_view name, CciInt value);
CciElement *addBytes(CciElement *parent, std::u16string_view name, const void *data, size_t size);
/* The first child with that exact name, or null. */
CciElement *findChild(const CciElement *parent, std::u16string_view name);

/* Copies name, type, value and flags of `source` onto `target` and replaces target's
   children by deep copies of source's children, in target's message. */
void copyTree(const CciElement *source, CciElement *target);

/* A new message in the context with a root element of the given name. */
CciMessage *newMessage(CciMessageContext *context, std::u16string_view rootName);
/* Deletes the message, its arena and every element of it. */
void deleteMessage(CciMessage *message);
/* The context's environment tree, made on first use. */
CciMessage *environmentOf(CciMessageContext *context);

} // namespace broker

#endif
