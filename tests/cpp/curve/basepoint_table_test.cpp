#include <gtest/gtest.h>

#include "curve/edwards.hpp"
#include "tests/cpp/curve/support.hpp"

namespace vorlinde::curve {
namespace {

// The checked-in table, computed with plain integers by tools/gen_curve_tables.py,
// must be exactly what create() makes for G: two independent sources agree.
TEST(EdwardsBasepointTable, GeneratedDataEqualsCreate) {
  const EdwardsBasepointTable fresh = EdwardsBasepointTable::create(ED25519_BASEPOINT_POINT);
  for (int i = 0; i < 32; ++i) {
    for (int j = 0; j < 8; ++j) {
      const AffineNielsPoint& a = ED25519_BASEPOINT_TABLE.tables[i].entries[j];
      const AffineNielsPoint& b = fresh.tables[i].entries[j];
      EXPECT_EQ(a.y_plus_x.limbs(), b.y_plus_x.limbs()) << i << "," << j;
      EXPECT_EQ(a.y_minus_x.limbs(), b.y_minus_x.limbs()) << i << "," << j;
      EXPECT_EQ(a.xy2d.limbs(), b.xy2d.limbs()) << i << "," << j;
    }
  }
  EXPECT_EQ(ED25519_BASEPOINT_TABLE.basepoint(), ED25519_BASEPOINT_POINT);
}

}  // namespace
}  // namespace vorlinde::curve
