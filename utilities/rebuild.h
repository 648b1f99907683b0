/*
 * The reader of binary-mode serialised syntax-element buffers: rebuilds, one record per
 * call, the elements that serialiseSyntaxElements flattened, below or beside an anchor
 * element of a broker message (possibly of another message than the one written).
 * Text-mode buffers carry no mode marker and must not be given to it.
 */
#ifndef TREVANE_UTILITIES_REBUILD_H
#define TREVANE_UTILITIES_REBUILD_H

#include "trevane/cni.h"
#include "trevane/types.h"

/* Reads the record at *currentPosP of `buffer` (`bufferLength` bytes of data) and
   creates the element it describes, with its name, type and value: as a child of the
   anchor *elementPP when the record is deeper than *treeDepthP, as the anchor's next
   sibling when it is as deep, after moving the anchor up through its parents when it is
   shallower. A created element with children becomes the anchor. Advances *currentPosP
   past the record.

   Start with *treeDepthP at -1 and `includeFirstElement` TRUE to rebuild the whole
   subtree as a new child of the anchor, or at 0 with `includeFirstElement` FALSE to
   give the first record's value to the anchor itself and its children to the anchor
   (`firstElement` is TRUE for the first record only). Call once per record until
   *currentPosP reaches buffer + bufferLength.

   A record that does not lie wholly inside the data (header shorter than 20 bytes,
   unterminated name or text, a length field or value running past the end, a negative
   depth) gives TT_SYNTAX_ELEMENT_SERIALISATION_FAILURE before anything is created or
   read outside the buffer. TT_FAILED_TO_GET_PARENT_ELEMENT, TT_FAILED_TO_CREATE_NEW_
   ELEMENT and TT_INSUFFICIENT_GLOBAL_STORAGE leave the elements made by earlier calls
   in the tree. */
int inflateSyntaxElement(CciElement **elementPP, const void *buffer, int bufferLength,
                         const char **currentPosP, int *treeDepthP, bool_t firstElement,
                         bool_t includeFirstElement);

#endif
