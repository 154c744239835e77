// Shared tools of the robustness tests: scratch Notes directories laid out for them, and runs of
// the setup program in one, through the tests' child runner.
#pragma once

#include <sys/resource.h>

#include <string>
#include <vector>

#include "tests/support/bytes.h"
#include "tests/support/child.h"
#include "tests/support/expected.h"
#include "tests/support/scratch.h"

namespace robust {

using namespace expected;

// The names in a directory that look like the engine's temporary files of notes.ini.
std::vector<std::string> TemporaryFiles(const std::string& Directory);

// A scratch directory that holds a copy of the program and a Notes directory "n" for notes.ini,
// both reachable by kNobody. The program makes its own directory current, finds no notes.ini
// there, and finds the one in "n" through PATH, so "n" holds nothing but what a test puts there.
class Scratch {
public:
    Scratch();

    const std::string& Root() const { return Directory_.Path(); }
    const std::string& Notes() const { return Notes_; }  // the Notes directory
    std::string Ini() const { return Notes_ + "/notes.ini"; }
    const std::string& Program() const { return Program_; }
    // Gives the Notes directory (and notes.ini, when present) to kNobody.
    void GiveToNobody();

private:
    ScratchDirectory Directory_;
    std::string Notes_;
    std::string Program_;
};

// The options of the setup program run with /I (and /U for a removal) in the scratch directory.
RunOptions SetupOptions(const Scratch& Where, bool Remove);

// The setup program in the scratch directory, run with /I.
RunResult RunSetup(const Scratch& Where, bool Remove, bool AsNobody = false,
                   rlim_t FileSizeLimit = RLIM_INFINITY);

}  // namespace robust
