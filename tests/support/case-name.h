// Names each case of a parameterized test after its Name field, so that a test reads as
// Cases/Suite.Test/CaseName rather than as a dump of the parameter's bytes.
#pragma once

#include <gtest/gtest.h>

#include <string>

struct CaseName {
    template <typename Param>
    std::string operator()(const ::testing::TestParamInfo<Param>& Info) const
    {
        return std::string(Info.param.Name);
    }
};
