// Minimal checks for the core's unit tests: unlike assert(), active in
// release builds, and a failed check does not stop the remaining ones.
#pragma once
#include <cstdio>

namespace vt::test {

inline int failures = 0;

inline void fail(const char* file, int line, const char* expr) {
    std::fprintf(stderr, "%s:%d: check failed: %s\n", file, line, expr);
    ++failures;
}

// main() of each test program: runs the cases, exit status 1 on any failure.
inline int finish(const char* name) {
    if (failures) std::fprintf(stderr, "%s: %d check(s) failed\n", name, failures);
    return failures ? 1 : 0;
}

}  // namespace vt::test

#define CHECK(expr) ((expr) ? (void)0 : vt::test::fail(__FILE__, __LINE__, #expr))
