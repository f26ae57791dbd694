#include <gtest/gtest.h>

#include "core/kiv_log.h"

TEST(TrimSpaces, CutsSpacesOnly) {
  char text[] = "  a b \t  ";
  EXPECT_STREQ(trim_spaces(text), "a b \t");
}
