/*
 * Message trees: the arena, element linking, deep copy, and the cni calls that
 * navigate, search, name, type, read and set elements.
 *
 * Owns the element records (struct CciElement) and their storage in each message's
 * arena. Called by plug-ins and built-in nodes through cni.h, and by the broker's
 * parser, writer and exception lists through tree.h. A null or foreign handle gives a
 * non-zero return code and a null or zero result; nothing here throws.
 */
#include <cstdlib>
#include <cstring>
#include <new>

#include "broker/text.h"
#include "broker/tree.h"

namespace broker {

// ---- arena ---------------------------------------------------------------------------

Arena::~Arena() {
    while (head_ != nullptr) {
        Block *next = head_->next;
        std::free(head_);
        head_ = next;
    }
}

void *Arena::allocate(size_t size, size_t alignment) {
    auto fits = [&](char *cursor) {
        auto address = reinterpret_cast<uintptr_t>(cursor);
        uintptr_t aligned = (address + alignment - 1) & ~(uintptr_t)(alignment - 1);
        return std::pair<char *, bool>(reinterpret_cast<char *>(aligned),
                                       cursor != nullptr &&
                                           aligned + size <= reinterpret_cast<uintptr_t>(end_));
    };
    auto [place, ok] = fits(cursor_);
    if (!ok) {
        size_t need = size + alignment + sizeof(Block);
        size_t blockSize = nextSize_ > need ? nextSize_ : need;
        auto *block = static_cast<Block *>(std::malloc(blockSize));
        if (block == nullptr) {
            throw std::bad_alloc();
        }
        reserved_ += blockSize;
        block->next = head_;
        block->size = blockSize;
        head_ = block;
        cursor_ = reinterpret_cast<char *>(block) + sizeof(Block);
        end_ = reinterpret_cast<char *>(block) + blockSize;
        if (nextSize_ < 65536) {
            nextSize_ *= 2;
        }
        place = fits(cursor_).first;
    }
    cursor_ = place + size;
    return place;
}

// ---- linking -------------------------------------------------------------------------

CciElement *newElement(CciMessage *message) {
    auto *element =
        static_cast<CciElement *>(message->arena.allocate(sizeof(CciElement), alignof(CciElement)));
    // Field by field rather than memset: this is the parser's and the copy's hot path,
    // and a short memset of unknown alignment compiles to a slow string store.
    element->magic = ELEMENT_MAGIC;
    element->type = CCI_ELEMENT_TYPE_UNKNOWN;
    element->message = message;
    element->parent = nullptr;
    element->firstChild = nullptr;
    element->lastChild = nullptr;
    element->previous = nullptr;
    element->next = nullptr;
    element->name = nullptr;
    element->nameLength = 0;
    element->valueType = CCI_VALUE_TYPE_NONE;
    element->flags = 0;
    element->value.timestamp = CciTimestamp{{0, 0, 0}, {0, 0, 0.0f}};
    return element;
}

void appendChild(CciElement *parent, CciElement *child) {
    child->parent = parent;
    child->next = nullptr;
    child->previous = parent->lastChild;
    if (parent->lastChild != nullptr) {
        parent->lastChild->next = child;
    } else {
        parent->firstChild = child;
    }
    parent->lastChild = child;
}

void insertAfter(CciElement *anchor, CciElement *element) {
    CciElement *parent = anchor->parent;
    element->parent = parent;
    element->previous = anchor;
    element->next = anchor->next;
    if (anchor->next != nullptr) {
        anchor->next->previous = element;
    } else {
        parent->lastChild = element;
    }
    anchor->next = element;
}

void detach(CciElement *element) {
    CciElement *parent = element->parent;
    if (parent == nullptr) {
        return;
    }
    if (element->previous != nullptr) {
        element->previous->next = element->next;
    } else {
        parent->firstChild = element->next;
    }
    if (element->next != nullptr) {
        element->next->previous = element->previous;
    } else {
        parent->lastChild = element->previous;
    }
    element->parent = nullptr;
    element->previous = nullptr;
    element->next = nullptr;
}

// ---- names and values ----------------------------------------------------------------

void setName(CciElement *element, std::u16string_view name) {
    auto *copy = static_cast<CciChar *>(
        element->message->arena.allocate((name.size() + 1) * sizeof(CciChar), alignof(CciChar)));
    std::memcpy(copy, name.data(), name.size() * sizeof(CciChar));
    copy[name.size()] = 0;
    element->name = copy;
    element->nameLength = static_cast<int32_t>(name.size());
}

namespace {

bool holdsArray(const CciElement *element) {
    CciValueType t = element->valueType;
    return t == CCI_VALUE_TYPE_CHAR || t == CCI_VALUE_TYPE_DECIMAL ||
           t == CCI_VALUE_TYPE_BYTEARRAY || t == CCI_VALUE_TYPE_BITARRAY;
}

// Storage for an array value of `bytes` bytes: the element's old storage when it is
// large enough, otherwise new storage from the arena.
void *arrayStorage(CciElement *element, size_t bytes) {
    if (holdsArray(element) && element->value.array.data != nullptr &&
        static_cast<size_t>(element->value.array.capacity) >= bytes) {
        return element->value.array.data;
    }
    void *data = element->message->arena.allocate(bytes == 0 ? 2 : bytes, alignof(CciChar));
    element->value.array.capacity = static_cast<int32_t>(bytes == 0 ? 2 : bytes);
    return data;
}

} // namespace

void setCharacter(CciElement *element, std::u16string_view text, CciValueType valueType) {
    size_t bytes = (text.size() + 1) * sizeof(CciChar);
    auto *data = static_cast<CciChar *>(arrayStorage(element, bytes));
    std::memmove(data, text.data(), text.size() * sizeof(CciChar));
    data[text.size()] = 0;
    int32_t capacity = element->value.array.capacity;
    element->value.array.data = data;
    element->value.array.size = static_cast<int32_t>(text.size());
    element->value.array.capacity = capacity;
    element->valueType = valueType;
}

void setBytes(CciElement *element, const void *data, size_t size, CciValueType valueType) {
    void *storage = arrayStorage(element, size);
    if (size > 0) {
        std::memmove(storage, data, size);
    }
    int32_t capacity = element->value.array.capacity;
    element->value.array.data = storage;
    element->value.array.size = static_cast<int32_t>(size);
    element->value.array.capacity = capacity;
    element->valueType = valueType;
}

CciElement *addChild(CciElement *parent, CciElementType type, std::u16string_view name) {
    CciElement *child = newElement(parent->message);
    child->type = type;
    if (!name.empty()) {
        setName(child, name);
    }
    appendChild(parent, child);
    return child;
}

CciElement *addCharacter(CciElement *parent, std::u16string_view name, std::u16string_view text) {
    CciElement *child = addChild(parent, CCI_ELEMENT_TYPE_NAME_VALUE, name);
    setCharacter(child, text, CCI_VALUE_TYPE_CHAR);
    return child;
}

CciElement *addInteger(CciElement *parent, std::u16string_view name, CciInt value) {
    CciElement *child = addChild(parent, CCI_ELEMENT_TYPE_NAME_VALUE, name);
    child->valueType = CCI_VALUE_TYPE_INTEGER;
    child->value.integer = value;
    return child;
}

CciElement *addBytes(CciElement *parent, std::u16string_view name, const void *data, size_t size) {
    CciElement *child = addChild(parent, CCI_ELEMENT_TYPE_NAME_VALUE, name);
    setBytes(child, data, size, CCI_VALUE_TYPE_BYTEARRAY);
    return child;
}

CciElement *findChild(const CciElement *parent, std::u16string_view name) {
    for (CciElement *child = parent->firstChild; child != nullptr; child = child->next) {
        if (child->name != nullptr && nameOf(child) == name) {
            return child;
        }
    }
    return nullptr;
}

// ---- copy ----------------------------------------------------------------------------

namespace {

void copyOwnFields(const CciElement *source, CciElement *target) {
    target->type = source->type;
    target->flags = source->flags;
    if (source->name != nullptr) {
        setName(target, nameOf(source));
    } else {
        target->name = nullptr;
        target->nameLength = 0;
    }
    if (holdsArray(source)) {
        if (source->valueType == CCI_VALUE_TYPE_CHAR ||
            source->valueType == CCI_VALUE_TYPE_DECIMAL) {
            // The source may share the target's storage when both are one element.
            setCharacter(target, textOf(source), source->valueType);
        } else {
            setBytes(target, source->value.array.data,
                     static_cast<size_t>(source->value.array.size), source->valueType);
        }
    } else {
        target->valueType = source->valueType;
        target->value = source->value;
    }
}

// Copies the children of `source` below `target` (which has none), iteratively so
// that a deep tree cannot exhaust the stack.
void copyChildren(const CciElement *source, CciElement *target) {
    const CciElement *from = source->firstChild;
    CciElement *into = target;
    if (from == nullptr) {
        return;
    }
    CciMessage *message = target->message;
    while (true) {
        CciElement *copy = newElement(message);
        copyOwnFields(from, copy);
        appendChild(into, copy);
        if (from->firstChild != nullptr) {
            from = from->firstChild;
            into = copy;
            continue;
        }
        while (from != source && from->next == nullptr) {
            from = from->parent;
            into = into->parent;
        }
        if (from == source) {
            return;
        }
        from = from->next;
    }
}

} // namespace

void copyTree(const CciElement *source, CciElement *target) {
    if (source == target) {
        return;
    }
    // Copy first into a holder, so that a target inside the source (or a source inside
    // the target) is read before anything is replaced.
    CciElement *holder = newElement(target->message);
    copyChildren(source, holder);
    copyOwnFields(source, target);
    while (target->firstChild != nullptr) {
        detach(target->firstChild);
    }
    target->firstChild = holder->firstChild;
    target->lastChild = holder->lastChild;
    for (CciElement *child = target->firstChild; child != nullptr; child = child->next) {
        child->parent = target;
    }
    holder->magic = 0;
}

} // namespace broker

// ---- cni calls -----------------------------------------------------------------------

using namespace broker;

namespace {

inline void setRc(int *returnCode, int value) {
    if (returnCode != nullptr) {
        *returnCode = value;
    }
}

// The element for a cni call: sets the return code and answers null for a bad handle.
inline CciElement *use(int *returnCode, CciElement *element) {
    CciElement *checked = asElement(element);
    setRc(returnCode, checked == nullptr ? CCI_INV_OBJECT : CCI_SUCCESS);
    return checked;
}

// Searches run along siblings whose names mostly differ in length or in their first unit,
// so those are compared before the names as a whole.
bool matchesModeFour(const CciElement *element, CciElementType type, std::u16string_view name) {
    uint32_t wanted = static_cast<uint32_t>(type) >> 24;
    uint32_t has = static_cast<uint32_t>(element->type) >> 24;
    if ((has & wanted) != wanted || element->name == nullptr ||
        static_cast<size_t>(element->nameLength) != name.size()) {
        return false;
    }
    return name.empty() || (element->name[0] == name[0] &&
                            sameBytes(element->name, name.data(), name.size() * sizeof(CciChar)));
}

CciElement *searchFrom(int *returnCode, CciElement *start, int compareMode, CciElementType type,
                       const CciChar *name) {
    if (compareMode != CCI_COMPARE_MODE_NAME_TYPE) {
        setRc(returnCode, CCI_FAILURE);
        return nullptr;
    }
    if (name == nullptr) {
        setRc(returnCode, CCI_INV_DATA_POINTER);
        return nullptr;
    }
    std::u16string_view wanted = view16(name);
    for (CciElement *e = start; e != nullptr; e = e->next) {
        if (matchesModeFour(e, type, wanted)) {
            return e;
        }
    }
    return nullptr;
}

// The element when it holds a value of the given type; else a CCI_FAILURE code.
inline CciElement *withValue(int *returnCode, CciElement *element, CciValueType valueType) {
    CciElement *e = use(returnCode, element);
    if (e != nullptr && e->valueType != valueType) {
        setRc(returnCode, CCI_FAILURE);
        return nullptr;
    }
    return e;
}

CciSize textValue(int *returnCode, CciElement *element, CciValueType valueType, CciChar *buffer,
                  CciSize bufferSize) {
    CciElement *e = withValue(returnCode, element, valueType);
    if (e == nullptr) {
        return 0;
    }
    size_t bytes = bufferSize > 0 ? static_cast<size_t>(bufferSize) : 0;
    return static_cast<CciSize>(
        copyToBuffer16(textOf(e), buffer, bytes, e->value.array.data != nullptr));
}

CciSize arrayValue(int *returnCode, CciElement *element, CciValueType valueType, CciByte *pointer,
                   CciSize size) {
    CciElement *e = withValue(returnCode, element, valueType);
    if (e == nullptr) {
        return 0;
    }
    CciSize have = e->value.array.size;
    if (pointer != nullptr && size > 0) {
        std::memcpy(pointer, e->value.array.data, static_cast<size_t>(have < size ? have : size));
    }
    return have;
}

void setArray(int *returnCode, CciElement *element, const CciByte *pointer, CciSize size,
              CciValueType valueType) {
    CciElement *e = use(returnCode, element);
    if (e == nullptr) {
        return;
    }
    if (size < 0 || (pointer == nullptr && size > 0)) {
        setRc(returnCode, CCI_INV_DATA_POINTER);
        return;
    }
    setBytes(e, pointer, static_cast<size_t>(size), valueType);
}

// A decimal text: optional sign, digits with at most one point, optional exponent.
bool isDecimalText(std::u16string_view text) {
    size_t i = 0;
    if (i < text.size() && (text[i] == u'+' || text[i] == u'-')) {
        ++i;
    }
    size_t digits = 0;
    bool point = false;
    for (; i < text.size(); ++i) {
        if (text[i] >= u'0' && text[i] <= u'9') {
            ++digits;
        } else if (text[i] == u'.' && !point) {
            point = true;
        } else {
            break;
        }
    }
    if (digits == 0) {
        return false;
    }
    if (i < text.size() && (text[i] == u'e' || text[i] == u'E')) {
        ++i;
        if (i < text.size() && (text[i] == u'+' || text[i] == u'-')) {
            ++i;
        }
        size_t exponent = 0;
        for (; i < text.size() && text[i] >= u'0' && text[i] <= u'9'; ++i) {
            ++exponent;
        }
        if (exponent == 0) {
            return false;
        }
    }
    return i == text.size();
}

} // namespace

extern "C" {

// ---- navigation ----------------------------------------------------------------------

CciElement *cniFirstChild(int *returnCode, CciElement *element) {
    CciElement *e = use(returnCode, element);
    return e == nullptr ? nullptr : e->firstChild;
}

CciElement *cniLastChild(int *returnCode, CciElement *element) {
    CciElement *e = use(returnCode, element);
    return e == nullptr ? nullptr : e->lastChild;
}

CciElement *cniNextSibling(int *returnCode, CciElement *element) {
    CciElement *e = use(returnCode, element);
    return e == nullptr ? nullptr : e->next;
}

CciElement *cniPreviousSibling(int *returnCode, CciElement *element) {
    CciElement *e = use(returnCode, element);
    return e == nullptr ? nullptr : e->previous;
}

CciElement *cniParent(int *returnCode, CciElement *element) {
    CciElement *e = use(returnCode, element);
    return e == nullptr ? nullptr : e->parent;
}

CciElement *cniSearchFirstChild(int *returnCode, CciElement *element, int compareMode,
                                CciElementType type, const CciChar *name) {
    CciElement *e = use(returnCode, element);
    return e == nullptr ? nullptr : searchFrom(returnCode, e->firstChild, compareMode, type, name);
}

CciElement *cniSearchNextSibling(int *returnCode, CciElement *element, int compareMode,
                                 CciElementType type, const CciChar *name) {
    CciElement *e = use(returnCode, element);
    return e == nullptr ? nullptr : searchFrom(returnCode, e->next, compareMode, type, name);
}

// ---- names and types -----------------------------------------------------------------

CciSize cniElementName(int *returnCode, CciElement *element, CciChar *buffer, CciSize bufferSize) {
    CciElement *e = use(returnCode, element);
    if (e == nullptr) {
        return 0;
    }
    size_t bytes = bufferSize > 0 ? static_cast<size_t>(bufferSize) : 0;
    return static_cast<CciSize>(copyToBuffer16(nameOf(e), buffer, bytes, e->name != nullptr));
}

void cniSetElementName(int *returnCode, CciElement *element, const CciChar *name) {
    CciElement *e = use(returnCode, element);
    if (e == nullptr) {
        return;
    }
    if (name == nullptr) {
        setRc(returnCode, CCI_INV_DATA_POINTER);
        return;
    }
    setName(e, view16(name));
}

CciElementType cniElementType(int *returnCode, CciElement *element) {
    CciElement *e = use(returnCode, element);
    return e == nullptr ? CCI_ELEMENT_TYPE_UNKNOWN : e->type;
}

void cniSetElementType(int *returnCode, CciElement *element, CciElementType type) {
    CciElement *e = use(returnCode, element);
    if (e != nullptr) {
        e->type = type;
    }
}

CciValueType cniElementValueType(int *returnCode, CciElement *element) {
    CciElement *e = use(returnCode, element);
    return e == nullptr ? CCI_VALUE_TYPE_NONE : e->valueType;
}

// ---- value getters -------------------------------------------------------------------

CciBool cniElementBooleanValue(int *returnCode, CciElement *element) {
    CciElement *e = withValue(returnCode, element, CCI_VALUE_TYPE_BOOL);
    return e == nullptr ? 0 : e->value.boolean;
}

CciInt cniElementIntegerValue(int *returnCode, CciElement *element) {
    CciElement *e = withValue(returnCode, element, CCI_VALUE_TYPE_INTEGER);
    return e == nullptr ? 0 : e->value.integer;
}

CciReal cniElementRealValue(int *returnCode, CciElement *element) {
    CciElement *e = withValue(returnCode, element, CCI_VALUE_TYPE_REAL);
    return e == nullptr ? 0.0 : e->value.real;
}

CciSize cniElementDecimalValue(int *returnCode, CciElement *element, CciChar *buffer,
                               CciSize bufferSize) {
    return textValue(returnCode, element, CCI_VALUE_TYPE_DECIMAL, buffer, bufferSize);
}

CciSize cniElementCharacterValue(int *returnCode, CciElement *element, CciChar *buffer,
                                 CciSize bufferSize) {
    return textValue(returnCode, element, CCI_VALUE_TYPE_CHAR, buffer, bufferSize);
}

CciTime cniElementTimeValue(int *returnCode, CciElement *element) {
    CciElement *e = withValue(returnCode, element, CCI_VALUE_TYPE_TIME);
    return e == nullptr ? CciTime{0, 0, 0.0f} : e->value.time;
}

CciTime cniElementGmtTimeValue(int *returnCode, CciElement *element) {
    CciElement *e = withValue(returnCode, element, CCI_VALUE_TYPE_GMTTIME);
    return e == nullptr ? CciTime{0, 0, 0.0f} : e->value.time;
}

CciDate cniElementDateValue(int *returnCode, CciElement *element) {
    CciElement *e = withValue(returnCode, element, CCI_VALUE_TYPE_DATE);
    return e == nullptr ? CciDate{0, 0, 0} : e->value.date;
}

CciTimestamp cniElementTimestampValue(int *returnCode, CciElement *element) {
    CciElement *e = withValue(returnCode, element, CCI_VALUE_TYPE_TIMESTAMP);
    return e == nullptr ? CciTimestamp{{0, 0, 0}, {0, 0, 0.0f}} : e->value.timestamp;
}

CciTimestamp cniElementGmtTimestampValue(int *returnCode, CciElement *element) {
    CciElement *e = withValue(returnCode, element, CCI_VALUE_TYPE_GMTTIMESTAMP);
    return e == nullptr ? CciTimestamp{{0, 0, 0}, {0, 0, 0.0f}} : e->value.timestamp;
}

CciSize cniElementByteArrayValue(int *returnCode, CciElement *element, const CciByteArray *value) {
    if (value == nullptr) {
        setRc(returnCode, CCI_INV_DATA_POINTER);
        return 0;
    }
    return arrayValue(returnCode, element, CCI_VALUE_TYPE_BYTEARRAY, value->pointer, value->size);
}

CciSize cniElementBitArrayValue(int *returnCode, CciElement *element, const CciBitArray *value) {
    if (value == nullptr) {
        setRc(returnCode, CCI_INV_DATA_POINTER);
        return 0;
    }
    return arrayValue(returnCode, element, CCI_VALUE_TYPE_BITARRAY, value->pointer, value->size);
}

// ---- value setters -------------------------------------------------------------------

void cniSetElementBooleanValue(int *returnCode, CciElement *element, CciBool value) {
    if (CciElement *e = use(returnCode, element)) {
        e->valueType = CCI_VALUE_TYPE_BOOL;
        e->value.boolean = value != 0 ? 1 : 0;
    }
}

void cniSetElementIntegerValue(int *returnCode, CciElement *element, CciInt value) {
    if (CciElement *e = use(returnCode, element)) {
        e->valueType = CCI_VALUE_TYPE_INTEGER;
        e->value.integer = value;
    }
}

void cniSetElementRealValue(int *returnCode, CciElement *element, CciReal value) {
    if (CciElement *e = use(returnCode, element)) {
        e->valueType = CCI_VALUE_TYPE_REAL;
        e->value.real = value;
    }
}

void cniSetElementDecimalValue(int *returnCode, CciElement *element, const CciChar *value) {
    CciElement *e = use(returnCode, element);
    if (e == nullptr) {
        return;
    }
    if (value == nullptr) {
        setRc(returnCode, CCI_INV_DATA_POINTER);
        return;
    }
    std::u16string_view text = view16(value);
    if (!isDecimalText(text)) {
        setRc(returnCode, CCI_CONVERSION);
        return;
    }
    setCharacter(e, text, CCI_VALUE_TYPE_DECIMAL);
}

void cniSetElementCharacterValue(int *returnCode, CciElement *element, const CciChar *value,
                                 CciSize length) {
    CciElement *e = use(returnCode, element);
    if (e == nullptr) {
        return;
    }
    if (value == nullptr && length != 0) {
        setRc(returnCode, CCI_INV_DATA_POINTER);
        return;
    }
    // Read no further than the terminator: a length larger than the text must not
    // take the caller's storage beyond it.
    size_t n = value == nullptr ? 0
               : length < 0     ? length16(value)
                                : boundedLength16(value, static_cast<size_t>(length));
    setCharacter(e, std::u16string_view(value == nullptr ? u"" : value, n), CCI_VALUE_TYPE_CHAR);
}

void cniSetElementTimeValue(int *returnCode, CciElement *element, CciTime value) {
    if (CciElement *e = use(returnCode, element)) {
        e->valueType = CCI_VALUE_TYPE_TIME;
        e->value.time = value;
    }
}

void cniSetElementGmtTimeValue(int *returnCode, CciElement *element, CciTime value) {
    if (CciElement *e = use(returnCode, element)) {
        e->valueType = CCI_VALUE_TYPE_GMTTIME;
        e->value.time = value;
    }
}

void cniSetElementDateValue(int *returnCode, CciElement *element, CciDate value) {
    if (CciElement *e = use(returnCode, element)) {
        e->valueType = CCI_VALUE_TYPE_DATE;
        e->value.date = value;
    }
}

void cniSetElementTimestampValue(int *returnCode, CciElement *element, CciTimestamp value) {
    if (CciElement *e = use(returnCode, element)) {
        e->valueType = CCI_VALUE_TYPE_TIMESTAMP;
        e->value.timestamp = value;
    }
}

void cniSetElementGmtTimestampValue(int *returnCode, CciElement *element, CciTimestamp value) {
    if (CciElement *e = use(returnCode, element)) {
        e->valueType = CCI_VALUE_TYPE_GMTTIMESTAMP;
        e->value.timestamp = value;
    }
}

void cniSetElementByteArrayValue(int *returnCode, CciElement *element, const CciByteArray *value) {
    if (value == nullptr) {
        setRc(returnCode, CCI_INV_DATA_POINTER);
        return;
    }
    setArray(returnCode, element, value->pointer, value->size, CCI_VALUE_TYPE_BYTEARRAY);
}

void cniSetElementBitArrayValue(int *returnCode, CciElement *element, const CciBitArray *value) {
    if (value == nullptr) {
        setRc(returnCode, CCI_INV_DATA_POINTER);
        return;
    }
    setArray(returnCode, element, value->pointer, value->size, CCI_VALUE_TYPE_BITARRAY);
}

// ---- creation, detach, copy ----------------------------------------------------------

CciElement *cniCreateElementAsLastChild(int *returnCode, CciElement *parent) {
    CciElement *p = use(returnCode, parent);
    if (p == nullptr) {
        return nullptr;
    }
    CciElement *child = newElement(p->message);
    appendChild(p, child);
    return child;
}

CciElement *cniCreateElementAfter(int *returnCode, CciElement *element) {
    CciElement *e = use(returnCode, element);
    if (e == nullptr) {
        return nullptr;
    }
    if (e->parent == nullptr) {
        setRc(returnCode, CCI_FAILURE); // a root or detached element has no siblings
        return nullptr;
    }
    CciElement *sibling = newElement(e->message);
    insertAfter(e, sibling);
    return sibling;
}

void cniDetach(int *returnCode, CciElement *element) {
    CciElement *e = use(returnCode, element);
    if (e == nullptr) {
        return;
    }
    if (e == e->message->root) {
        setRc(returnCode, CCI_FAILURE);
        return;
    }
    detach(e);
}

void cniCopyElementTree(int *returnCode, CciElement *source, CciElement *target) {
    CciElement *from = use(returnCode, source);
    CciElement *to = from == nullptr ? nullptr : use(returnCode, target);
    if (from == nullptr || to == nullptr) {
        return;
    }
    copyTree(from, to);
}

} // extern "C"
