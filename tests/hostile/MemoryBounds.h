#pragma once

#include <QtTest>

// A process's memory says something about an attack only in a plain build:
// a sanitizer's shadow memory and its quarantine of freed blocks grow every
// process by hundreds of MiB. Sanitizer builds check everything else.
#ifdef WIVORA_SANITIZED
#define QVERIFY_MEMORY_BOUND(condition, message) \
    do { \
        (void)(condition); \
        (void)(message); \
    } while (false)
#else
#define QVERIFY_MEMORY_BOUND(condition, message) QVERIFY2(condition, message)
#endif
