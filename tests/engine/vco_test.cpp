#include "engine/vco.hpp"
#include <gtest/gtest.h>
TEST(Vco, Builds) { Vco v(1, 440, 1); v.tick(); }
