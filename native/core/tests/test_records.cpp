// Record decoding: length checks, surplus bytes ignored, exact bytes copied.
#include "check.hpp"
#include "core/records.hpp"

#include <cstring>
#include <vector>

using namespace vt;

static void short_frames_are_refused_without_reading() {
    std::vector<unsigned char> bytes(sizeof(cu_message) - 1, 0xAB);
    cu_message m{};
    m.counts = 7;
    CHECK(!decode(bytes.data(), bytes.size(), m));
    CHECK(m.counts == 7);  // untouched
    CHECK(!decode(bytes.data(), 0, m));
}

static void surplus_bytes_are_ignored() {
    std::vector<unsigned char> bytes(sizeof(stream_data) + 5, 0);
    stream_data s{};
    s.rank = 9;
    s.timestamp = 12.5;
    std::memcpy(bytes.data(), &s, sizeof s);
    stream_data out{};
    CHECK(decode(bytes.data(), bytes.size(), out));
    CHECK(out.rank == 9 && out.timestamp == 12.5);
}

static void decoding_from_an_odd_address() {
    std::vector<unsigned char> bytes(sizeof(cu_config) + 1, 0);
    cu_config c{};
    c.resistorBias = 20.0f;
    c.powered = 1;
    std::memcpy(bytes.data() + 1, &c, sizeof c);
    cu_config out{};
    CHECK(decode(bytes.data() + 1, sizeof c, out));
    CHECK(out.resistorBias == 20.0f && out.powered == 1);
}

int main() {
    short_frames_are_refused_without_reading();
    surplus_bytes_are_ignored();
    decoding_from_an_odd_address();
    return vt::test::finish("test_records");
}
