// Skipping a test that must run something as kNobody where that cannot be done.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "tests/support/child.h"

// Skips the current test, saying why, unless something can be run as kNobody in Directory.
#define SKIP_UNLESS_ROOT(Directory)                                  \
    do {                                                             \
        std::string WhyNot = WhyNotAsNobody(Directory);              \
        if (!WhyNot.empty()) GTEST_SKIP() << WhyNot;                 \
    } while (0)
