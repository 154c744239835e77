// Named cases of parameterized tests: each case is shown by its Name field, so that a test reads
// as Cases/Suite.Test/CaseName, and a failure names its case, rather than as a dump of the
// parameter's bytes.
#pragma once

#include <gtest/gtest.h>

#include <ostream>
#include <string>

struct CaseName {
    template <typename Param>
    std::string operator()(const ::testing::TestParamInfo<Param>& Info) const
    {
        return std::string(Info.param.Name);
    }
};

// What a failing case prints of itself: its name. A test file's case types get it with
// `using case_name::operator<<;` in the namespace that holds them.
namespace case_name {
template <typename Case, typename = decltype(Case::Name)>
std::ostream& operator<<(std::ostream& Out, const Case& Named)
{
    return Out << Named.Name;
}
}  // namespace case_name
