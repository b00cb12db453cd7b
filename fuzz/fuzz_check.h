// What the fuzz targets share: a failed check stops the run with its reason,
// so that libFuzzer keeps the input as a crash and the replay test fails.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace fuzz {

[[noreturn]] inline void Fail(const std::string& what) {
    std::fprintf(stderr, "fuzz check failed: %s\n", what.c_str());
    std::abort();
}

inline void Check(bool condition, const std::string& what) {
    if (!condition) Fail(what);
}

inline void CheckNone(const std::vector<std::string>& problems) {
    if (problems.empty()) return;
    std::string text;
    for (const std::string& p : problems) text += "\n    " + p;
    Fail(text);
}

}  // namespace fuzz
