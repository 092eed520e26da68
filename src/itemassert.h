#pragma once

// The item store checks its pointer arguments and stops with the failed
// condition, the source file and the line, in every build type.

#include <cstdio>
#include <cstdlib>

#define ITEM_ASSERT(condition)                                                          \
    do {                                                                                \
        if (!(condition)) {                                                             \
            fprintf(stderr, "Assertion failed: %s, file %s, line %d\n", #condition,     \
                    __FILE__, __LINE__);                                                \
            abort();                                                                    \
        }                                                                               \
    } while (0)
