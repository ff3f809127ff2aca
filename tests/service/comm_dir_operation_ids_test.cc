// The daemon's operation ids (service/comm_dir_operation_ids.h).
#include "service/comm_dir_operation_ids.h"

#include <gtest/gtest.h>

#include <set>

namespace velmarosta {
namespace {

TEST(ServiceOperationIds, NeverZeroNeverRepeatedAndKeyed) {
  const std::uint32_t keys_a[comm_dir_operation_ids::kRounds] = {1, 2, 3, 4};
  const std::uint32_t keys_b[comm_dir_operation_ids::kRounds] = {1, 2, 3, 5};
  comm_dir_operation_ids a(keys_a), b(keys_b);
  std::set<UINT> seen;
  int same_as_b = 0, consecutive = 0;
  for (UINT i = 0, previous = 0, id; i < 100000; ++i, previous = id) {
    id = a.next();
    ASSERT_TRUE(id != 0 && seen.insert(id).second) << id;
    same_as_b += id == b.next();
    consecutive += id == previous + 1;
  }
  EXPECT_TRUE(same_as_b < 5 && consecutive < 5);
}

}  // namespace
}  // namespace velmarosta
