// The host's count of each window's records: closed windows kept in order,
// taken once, the oldest falling out, duplicates and refused records skipped.
#include "check.hpp"
#include "core/unit_windows.hpp"

using namespace vt;

static void a_full_window_and_a_short_one() {
    UnitWindows w;
    for (uint32_t s = 10; s < 20; ++s) w.record(s, 10);   // 10 .. 19: one whole window
    w.record(20, 10);                                      // closes it, opens the next
    for (uint32_t s = 21; s < 30; ++s) {
        if (s != 25) w.record(s, 10);                      // one lost
    }
    w.record(30, 10);
    CHECK(w.kept() == 2);
    CHECK(w.received(20, false) == 10);                    // peeking leaves it
    CHECK(w.received(20, true) == 10);
    CHECK(w.received(20, true) == -1);                     // taken once
    CHECK(w.received(30, true) == 9);
}

static void duplicates_and_refused_records_count_nothing() {
    UnitWindows w;
    w.record(1, 10);
    w.record(1, 10);                                       // the worker drops a repeat
    w.record(2, 0);                                        // buffSize 0: the worker refuses it
    w.record(10, 10);
    CHECK(w.received(10, true) == 1);
}

static void the_same_end_twice_is_taken_oldest_first() {
    UnitWindows w;
    for (uint32_t s = 1; s <= 10; ++s) w.record(s, 10);   // window ending 10 closes at 10 (9 records)
    w.record(5, 10);                                       // a late datagram: the window restarts at 5
    w.record(6, 10);
    w.record(10, 10);                                      // closes a second window ending at 10
    CHECK(w.received(10, true) == 9);
    CHECK(w.received(10, true) == 2);
}

static void the_oldest_window_falls_out() {
    UnitWindows w;
    for (uint32_t s = 1; s <= 10 * (UnitWindows::KEEP + 2); ++s) w.record(s, 10);
    CHECK(w.kept() == UnitWindows::KEEP);
    CHECK(w.received(10, false) == -1 && w.received(20, false) == -1);
    CHECK(w.received(30, false) == 10);
}

int main() {
    a_full_window_and_a_short_one();
    duplicates_and_refused_records_count_nothing();
    the_same_end_twice_is_taken_oldest_first();
    the_oldest_window_falls_out();
    return vt::test::finish("test_unit_windows");
}
