#include <gtest/gtest.h>
#include "runtime/failure.hpp"
TEST(Failure, CarriesMessage) { EXPECT_STREQ(vorlinde::runtime::Failure("x").what(), "x"); }
