// The broker's reorder heap and cycle check.
#include "check.hpp"
#include "core/cycle_check.hpp"
#include "core/reorder_queue.hpp"

#include <cstring>
#include <string>
#include <vector>

using namespace vt;

static QueuedDatagram item(uint32_t priority, const std::string& bytes) {
    return {priority, reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), nullptr};
}

static void heap_order() {
    const std::string a = "b", c = "ab", d = "";
    ReorderQueue q;
    q.reset(4);
    q.push(item(2, a));
    q.push(item(1, a));
    CHECK(!q.full());
    q.push(item(2, c));
    q.push(item(2, d));
    CHECK(q.full() && q.size() == 4);
    CHECK(q.pop().priority == 1);
    auto x = q.pop();  // among priority 2: "" < "ab" < "b"
    CHECK(x.size == 0);
    x = q.pop();
    CHECK(x.size == 2);
    x = q.pop();
    CHECK(x.size == 1 && x.data[0] == 'b');
    CHECK(q.empty());
}

static void unbounded_queue_is_never_full() {
    ReorderQueue q;
    q.reset(0);
    const std::string s = "x";
    for (int i = 0; i < 100; ++i) q.push(item(static_cast<uint32_t>(i), s));
    CHECK(!q.full());
    int released = 0;
    q.clear([&](void*) { ++released; });
    CHECK(released == 100 && q.empty());
}

static void cycle_check() {
    const uint16_t a = pair_key(1, 1), b = pair_key(1, 2);
    CycleCheck c;
    c.MAXFAILS = 2;
    CHECK(c.check(0, a));                 // the initial sequence is 0
    CHECK(c.check(1, a) && c.fails == 1);  // the first cycle differs from the empty one before
    CHECK(c.check(2, a) && c.fails == 1);  // same units: in step
    CHECK(c.check(2, b));
    CHECK(c.check(3, a) && c.fails == 2);  // {a, b} after {a}: a failure within MAXFAILS
    CHECK(!c.check(4, a));                 // {a} after {a, b}: the third exceeds it
    CHECK(c.fails == 0 && c.prevSequence == 4);
    CHECK(c.synced().contains(a) && c.previous().contains(a) && !c.synced().contains(b));
}

static void pair_sets() {
    PairSet a, b;
    a.insert(pair_key(255, 255));
    a.insert(pair_key(0, 0));
    a.insert(pair_key(0, 0));
    CHECK(a.size() == 2 && a.contains(0xFFFF) && a.contains(0));
    b.insert(pair_key(0, 0));
    CHECK(!a.same_members(b));
    b.insert(pair_key(255, 255));
    CHECK(a.same_members(b));
    a.clear();
    CHECK(a.size() == 0 && !a.contains(0));
}

int main() {
    heap_order();
    unbounded_queue_is_never_full();
    cycle_check();
    pair_sets();
    return vt::test::finish("test_broker_core");
}
