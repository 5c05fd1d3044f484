// Binary32 unit math and count scaling, with values worked out by hand.
#include "check.hpp"
#include "core/unitmath.hpp"

#include <cmath>

using namespace vt;

static void conversion_factors() {
    CHECK(math::current_to_voltage(10, 0, 5, 20) == 30.0f);  // no parallel resistor: rc + rb
    float q = 5.0f / 100.0f, s = (20.0f + 10.0f) + 100.0f;
    CHECK(math::current_to_voltage(10, 100, 5, 20) == 10.0f + (20.0f + q * s));
    float out;
    CHECK(math::voltage_to_current(10, 0, 5, 20, out) && out == 1.0f / 35.0f);
    CHECK(math::voltage_to_current(0, 0, 0, 0, out) && out == 0.0f);  // nothing to divide by
    CHECK(!math::voltage_to_current(1, 0.25f, -0.5f, 0, out));  // (rb + rc) * rp + rs * sum == 0
}

static void count_scaling() {
    uint32_t out;
    CHECK(math::scale_counts(6, 3, 10, out) && out == 18);  // factor 10 / 3 = 3
    CHECK(!math::scale_counts(6, 0, 10, out));
    CHECK(math::scale_counts(0xFFFFFFFFull * 2, 1, 1, out) && out == 0xFFFFFFFEu);  // wraps to 32 bits
}

static void verification_is_exact() {
    cu_config cfg{};
    cfg.cuStatus = 0;
    cfg.biasI = 0.5f;
    cfg.biasIStep = 0.125f;
    cu_message echo{};
    echo.biasV = 15.0f;
    echo.biasVStep = 3.75f;
    CHECK(math::verify_config(echo, cfg, 30.0f));
    echo.biasV = std::nextafter(15.0f, 16.0f);
    CHECK(!math::verify_config(echo, cfg, 30.0f));
    echo.cuStatus = 1;  // a unit reporting status 1 is not compared on its bias voltage
    CHECK(math::verify_config(echo, cfg, 30.0f));
    cfg.inverted = 1;
    CHECK(math::polarity(cfg.inverted) == -1.0f);
}

int main() {
    conversion_factors();
    count_scaling();
    verification_is_exact();
    return vt::test::finish("test_unitmath");
}
