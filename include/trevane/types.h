/*
 * The code base's own small types: the 32-bit boolean every module answers with.
 */
#ifndef TREVANE_TYPES_H
#define TREVANE_TYPES_H

#include <stdint.h>

typedef int32_t bool_t;

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif

#endif
