#include <gtest/gtest.h>

#include <cfloat>

namespace {

// volatile keeps the compiler from folding the arithmetic at build time.
TEST(FlushToZero, DenormalResultsAndInputsReadAsZero) {
    volatile float smallest = FLT_MIN;
    volatile float tiny = smallest / 4.0f;  // a denormal result without flush-to-zero
    EXPECT_EQ(tiny, 0.0f);

    volatile double smallestDouble = DBL_MIN;
    volatile double tinyDouble = smallestDouble * 0.5;
    EXPECT_EQ(tinyDouble, 0.0);

    volatile float normal = FLT_MIN;
    EXPECT_GT(normal, 0.0f);  // normal numbers are untouched
}

}  // namespace
