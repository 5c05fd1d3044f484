// Integration windows: alignment, restarts, jumps and the counter's wrap.
#include "check.hpp"
#include "core/window.hpp"

using namespace vt;

static void windows_align_to_multiples() {
    CHECK(window_end(0, 10) == 10);
    CHECK(window_end(5, 10) == 10);
    CHECK(window_end(10, 10) == 20);
    CHECK(window_step(9, 5, 5, 10) == WindowStep::inside);
    CHECK(window_step(10, 9, 5, 10) == WindowStep::closes);
    CHECK(window_step(57, 12, 10, 10) == WindowStep::closes);  // jumps close the open window only
    CHECK(window_step(3, 12, 10, 10) == WindowStep::restart);
}

static void windows_run_on_across_the_wrap() {
    const uint32_t start = 4294967000u;  // 1000 does not divide 2^32
    CHECK(window_end(start, 1000) == 704u);
    CHECK(window_step(4294967100u, start, start, 1000) == WindowStep::inside);
    CHECK(window_step(0, 4294967295u, start, 1000) == WindowStep::inside);  // the counter's wrap
    CHECK(window_step(703, 0, start, 1000) == WindowStep::inside);
    CHECK(window_step(704, 703, start, 1000) == WindowStep::closes);
    CHECK(window_step(4294967000u, 5, 0, 1000) == WindowStep::restart);  // far back is a restart
}

static void accumulator() {
    Accumulator a;
    a.add(2, 1.0f);
    a.add(4, 2.0f);
    CHECK(a.SUM_COUNTS == 6 && a.DATALENGTH == 2 && a.AVG_MONITOR == 1.5f);
    a.add(0xFFFFFFFFu, 0.0f);
    CHECK(a.SUM_COUNTS == 6ull + 0xFFFFFFFFull);  // 64-bit sum
    a.clear();
    CHECK(a.SUM_COUNTS == 0 && a.DATALENGTH == 0 && a.AVG_MONITOR == 0.0f);
    CHECK(step_time(12, 1000.0f) == 12 * 0.01 + 1000.0);
}

int main() {
    windows_align_to_multiples();
    windows_run_on_across_the_wrap();
    accumulator();
    return vt::test::finish("test_window");
}
