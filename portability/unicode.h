/*
 * Wide-character strings: the functions every module uses on the broker's
 * zero-terminated 16-bit texts, conversion to and from 8-bit UTF-8 text through the
 * broker's converters, and the formatter that accepts wide strings as "%S".
 * Strings returned newly allocated belong to the caller, who frees them with free().
 */
#ifndef TREVANE_PORTABILITY_UNICODE_H
#define TREVANE_PORTABILITY_UNICODE_H

#include <stdarg.h>
#include <stddef.h>

#include "trevane/cni.h"
#include "trevane/types.h"

/* "0123456789" as a wide string. */
extern const CciChar numericMask[];
/* Printable rendering of each byte (257 entries, the last 0): 0x20-0x7E as
   themselves but ',' as '\'', every other byte as '.'; the Upper/Lower tables fold
   letters as well. */
extern const char char_map[257];
extern const char char_mapUpper[257];
extern const char char_mapLower[257];

/* Units before the terminator; 0 for null. */
int UClen(const CciChar *string);
/* Copies with the terminator; answers the position of the terminator written, or null
   when either pointer is null. */
CciChar *UCcpy(CciChar *destination, const CciChar *source);
/* Copies at most n units and always terminates (n + 1 units written at most); answers
   the terminator's position, or null when either pointer is null. */
CciChar *UCncpy(CciChar *destination, const CciChar *source, int n);
/* Appends; answers the result's terminator, null for a null destination, the
   destination unchanged for a null source. */
CciChar *UCcat(CciChar *destination, const CciChar *source);
/* First occurrence of the unit; null for null/empty strings and for the zero unit. */
CciChar *UCchr(const CciChar *string, CciChar unit);
/* First occurrence of the needle; null when there is none or the needle is empty. */
CciChar *UCstr(const CciChar *string, const CciChar *needle);
/* -1, 0 or 1 by unsigned units; -1 when either is null. */
int UCcmp(const CciChar *a, const CciChar *b);
/* As UCcmp over at most n units; -1 when either is null or n <= 0. */
int UCncmp(const CciChar *a, const CciChar *b, int n);
/* A heap copy; the caller frees it. Null for null. */
CciChar *UCdup(const CciChar *string);
/* A heap wide string converted from UTF-8 text; the caller frees it. Null for null. */
CciChar *CciString(const char *text);
/* Converts to UTF-8 in `buffer` (at most bufferSize bytes, terminated, never ending in
   half a character); stores the converted length in *lengthP when given. Null when the
   conversion failed, a pointer is null or bufferSize <= 0. */
char *UCToStr(const CciChar *string, char *buffer, int bufferSize, int *lengthP);
/* Converts UTF-8 text into `output`, which holds strlen(text) + 1 units; the second
   argument is ignored. A null text gives the empty string. Answers `output`. */
CciChar *strToUC(const char *text, int ignored, CciChar *output, int *lengthP);
/* Writes the integer in decimal into `output` (room for 12 units). */
void intToUC(int value, CciChar *output);
/* The leading decimal number of the text, clamped to the 32-bit range; 0 when the
   text does not start with a number. */
int UCToInt(const CciChar *string);
/* TRUE when every unit is a decimal digit (also for the empty string and null). */
bool_t UCisNumeric(const CciChar *string);
/* Maps each byte in place through char_mapUpper / char_mapLower; answers the text. */
char *upperCase(char *text);
char *lowerCase(char *text);

/* The wide formatter. Directives end at the first of the letters S s d x c; what
   stands between '%' and the letter is passed to the C formatter unchanged. %S takes
   a const CciChar *. UCsprintf writes to a buffer the caller sized for the largest
   text; every caller in this code base uses the bounded forms, which cut the output
   at bufferSize - 1 bytes (never inside a converted wide character) and always
   terminate. A null text argument formats as "(null)". All answer 0. */
int UCsprintf(char *output, const char *format, ...);
int UCsnprintf(char *output, size_t bufferSize, const char *format, ...);
int UCvsnprintf(char *output, size_t bufferSize, const char *format, va_list arguments);

#endif
