// The result store: which record of an id it keeps, and what its destructor
// frees.
#include "facade/comm_dir_data_collector.h"

#include <gtest/gtest.h>

#include <cstring>

#include "support/fake/faults.h"
#include "support/tracked_new.h"

namespace velmarosta {
namespace {

using commdir_test::freed;

TEST(DataCollectorTest, TheFirstRecordOfAnIdStaysAndANullOneIsRefused) {
  comm_dir_data_collector store;
  comm_dir_info first{}, second{}, *found = &second;
  EXPECT_EQ(store.get_info_map(7, found), COMM_DIR_ERR);  // never stored: the reference untouched
  EXPECT_EQ(found, &second);
  EXPECT_TRUE(store.set_info_map(7, &first) == 0 && store.set_info_map(7, &second) == 0);
  EXPECT_TRUE(store.get_info_map(7, found) == 0 && found == &first);
  EXPECT_EQ(store.set_info_map(9, nullptr), 0);
  EXPECT_TRUE(store.get_info_map(9, found) == COMM_DIR_ERR && found == nullptr);  // written through, and refused
  EXPECT_TRUE(store.unset_info_map(7) == 0 && store.unset_info_map(7) == 0);      // no longer held: 0 all the same
  EXPECT_TRUE(store.get_info_map(7, found) == COMM_DIR_ERR && faults::traces().empty());
}

TEST(DataCollectorTest, ItsDestructorFreesEveryHoldingWithOrWithoutItsMutex) {
  {
    faults::fail("emwOSWCreateMutexSem");
    comm_dir_data_collector store;  // without a mutex every call still asks the platform, for id 0
    EXPECT_TRUE(faults::traced("[ERROR]emwOSWCreateMutexSem <velmarosta::comm_dir_data_collector::comm_dir_data"));
    comm_dir_info record{};
    EXPECT_TRUE(store.set_info_map(1, &record) == COMM_DIR_ERR && faults::last_id("emwOSWRequestMutexSem") == 0u);
  }
  EXPECT_EQ(faults::calls("emwOSWDeleteMutexSem"), 0);
  // What a record holds is freed as at the end of an operation (the facade
  // test checks each holding there): here a name stands for all.
  auto* store = new comm_dir_data_collector;
  auto* info = new comm_dir_info{std::strcpy(new char[5], "name"), nullptr, nullptr, 0, 0};
  const void* name = info->attr_name;
  ASSERT_EQ(store->set_info_map(4, info), 0);
  faults::fail("emwOSWDeleteMutexSem");
  delete store;  // goes on and frees the record after its mutex failed
  EXPECT_TRUE(faults::traced("[ERROR]emwOSWDeleteMutexSem <velmarosta::comm_dir_data_collector::~"));
  EXPECT_TRUE(freed(name));
}

}  // namespace
}  // namespace velmarosta
