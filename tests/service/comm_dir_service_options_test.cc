// The daemon's command line (service/comm_dir_service_options.h).
#include "service/comm_dir_service_options.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

namespace velmarosta {
namespace {

using Result = comm_dir_parse_result;
using Holds = std::function<bool(const comm_dir_service_options&)>;

TEST(ServiceOptions, TakesEachOptionOrRefusesItWhole) {
  const struct Row {
    std::vector<std::string> args;
    Result result;
    Holds holds;
  } rows[] = {
      {{"-w", "3", "-q", "7", "-d"},
       Result::kRun,
       [](auto& o) { return o.workers == 3 && o.queue_limit == 7 && o.debug; }},
      {{"--max-operations=40"}, Result::kRun, [](auto& o) { return o.max_operations_per_user == 10; }},  // a quarter
      {{"--max-operations=2"}, Result::kRun, [](auto& o) { return o.max_operations_per_user == 1; }},
      {{"--max-operations=40", "--max-operations-per-user=3"},
       Result::kRun,
       [](auto& o) { return o.max_operations_per_user == 3; }},
      {{}, Result::kRun, [](auto& o) { return o.hung_after_s == comm_dir_longest_request_s(o) && !o.allow_ldapi; }},
      {{"--hung-after=5", "--allow-ldapi"}, Result::kRun, [](auto& o) { return o.hung_after_s == 5 && o.allow_ldapi; }},
      {{"--network-timeout=999999999"}, Result::kRun, [](auto& o) { return o.network_timeout_ms == 999999999; }},
      {{"--network-timeout=1000000000"}, Result::kError, nullptr},
      {{"--reply-wait=0"}, Result::kError, nullptr},
      {{"-w", "2x"}, Result::kError, nullptr},
      {{"-w", "-1"}, Result::kError, nullptr},
      {{"--no-such-option"}, Result::kError, nullptr},
      {{"left-over"}, Result::kError, nullptr},
      {{"--allow-uid=0,12345"},
       Result::kRun,
       [](auto& o) {
         return o.allowed_uids == std::vector<uid_t>{0, 12345};
       }},
      {{"--allow-uid=0,"}, Result::kError, nullptr},
      {{"--allow-uid=no-such-user-anywhere"}, Result::kError, nullptr},
      {{"--allow-group=4242424"}, Result::kRun, [](auto& o) { return o.allowed_gids == std::vector<gid_t>{4242424}; }},
      {{"--allow-group=no-such-group-anywhere"}, Result::kError, nullptr},
      {{"--ca-dir=/"}, Result::kRun, [](auto& o) { return o.ca_dirs == std::vector<std::string>{"/"}; }},
      {{"--ca-dir=relative/dir"}, Result::kError, nullptr},
      {{"--version"}, Result::kExit, nullptr},
  };
  for (const Row& row : rows) {
    std::vector<std::string> words = {"comm-dir-service"};
    words.insert(words.end(), row.args.begin(), row.args.end());
    std::vector<char*> argv;
    for (std::string& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    comm_dir_service_options options;
    SCOPED_TRACE(words.size() > 1 ? words[1] : "(none)");
    ASSERT_EQ(parse_options(static_cast<int>(words.size()), argv.data(), &options), row.result);
    EXPECT_TRUE(row.holds == nullptr || row.holds(options));
  }
}

}  // namespace
}  // namespace velmarosta
