// The hub's IV grid and bin count, the record buffer and the live batch.
#include "check.hpp"
#include "core/byte_batch.hpp"
#include "core/iv_grid.hpp"
#include "core/record_buffer.hpp"

#include <cmath>
#include <cstring>
#include <limits>
#include <string>

using namespace vt;

static void bins() {
    CHECK(bin_index(1e-6f, 1e-6f) == 0);
    CHECK(bin_index(1.01e-6f, 1e-6f) == 1);
    CHECK(bin_index(std::nanf(""), 0.0f) == INT32_MIN);
    CHECK(bin_index(1.0f, -1.0f) == 200000000);
    CHECK(bin_index(100.0f, 0.0f) == INT32_MIN);  // beyond int32
    CHECK(outside_range(6e-6f, 1e-6f, 5e-6f) && !outside_range(std::nanf(""), 1e-6f, 5e-6f));
    CHECK(grid_current(1e-6f, 2) == static_cast<double>(1e-6f) + 2.0 * 1e-8);
}

static void bin_counts() {
    int32_t steps = 0;
    CHECK(bin_count(1e-6f, 5e-6f, steps) == BinCount::ok && steps == 401);
    CHECK(bin_count(0.0f, 0.0f, steps) == BinCount::ok && steps == 1);
    CHECK(bin_count(5e-6f, 1e-6f, steps) == BinCount::ok && steps == -399);
    CHECK(bin_count(0.0f, std::nanf(""), steps) == BinCount::nan);
    CHECK(bin_count(0.0f, std::numeric_limits<float>::infinity(), steps) == BinCount::infinite);
    CHECK(bin_count(0.0f, 1.0f, steps) == BinCount::ok && steps == 100000001);
    CHECK(bin_count(0.0f, 100.0f, steps) == BinCount::too_large);
    CHECK(bin_count(1e30f, 1e30f, steps) == BinCount::ok && steps == 1);  // huge but equal
    CHECK(bin_count(-1e30f, 1e30f, steps) == BinCount::too_large);
}

static void record_buffer() {
    recdatatype buf;
    append_point(buf, {1.0, 2, 0.5f});
    CHECK(buf.size() == 1 && buf[0].counts == 2 && !is_full(buf));
    CHECK(sizeof(recordData_point) == 16);
}

static void byte_batch() {
    ByteBatch b;
    const std::string x = "abc", y = "de";
    CHECK(b.append(x.data(), x.size()) && b.append(y.data(), y.size()));
    CHECK(b.size() == 5 && std::memcmp(b.data(), "abcde", 5) == 0);
    CHECK(b.prepend("XY", 2) && b.size() == 7 && std::memcmp(b.data(), "XYabcde", 7) == 0);
    b.clear();
    CHECK(b.size() == 0 && b.capacity() == 256);  // small buffers are kept
    // A burst grows the buffer; a later small batch gives the memory back.
    std::string big(3u << 20, 'z');
    CHECK(b.append(big.data(), big.size()) && b.capacity() >= big.size());
    b.clear();
    CHECK(b.capacity() >= big.size());  // the burst itself filled it: kept
    CHECK(b.append(x.data(), x.size()));
    b.clear();
    CHECK(b.capacity() == 0 && b.size() == 0);
    CHECK(b.append(y.data(), y.size()) && b.size() == 2);
}

int main() {
    bins();
    bin_counts();
    record_buffer();
    byte_batch();
    return vt::test::finish("test_hub_core");
}
