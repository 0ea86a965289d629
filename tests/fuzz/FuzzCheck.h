#pragma once

#include <cstdlib>

// A property of a fuzz target's input that must hold: libFuzzer reports the
// abort and keeps the input.
inline void check(bool condition)
{
    if (!condition)
        abort();
}
