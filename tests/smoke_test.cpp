#include <gtest/gtest.h>

#include "kavrol32/kavrol32.h"

TEST(Smoke, Version) { EXPECT_EQ(Get_Version(), 20); }
