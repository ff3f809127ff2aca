// What the soak test and its client processes compare a walk by: a digest of
// its entries (attribute names and values in order; DNs left out, as the
// facade has no DN call), the same function on both sides.
#ifndef COMMDIR_TESTS_INTEGRATION_SOAK_SOAK_DIGEST_H_
#define COMMDIR_TESTS_INTEGRATION_SOAK_SOAK_DIGEST_H_

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "support/slapd_fixture.h"

namespace commdir_testing {

// FNV-1a over every name and value, each followed by a separator that no
// value of the sample address book holds, and the entry count.
inline std::string walk_digest(const std::vector<LdifEntry>& entries) {
  std::uint64_t hash = 1469598103934665603ull;
  auto add = [&hash](const std::string& bytes, char separator) {
    for (unsigned char c : bytes) hash = (hash ^ c) * 1099511628211ull;
    hash = (hash ^ static_cast<unsigned char>(separator)) * 1099511628211ull;
  };
  for (const LdifEntry& entry : entries) {
    for (const auto& [name, values] : entry.attributes) {
      add(name, '\x01');
      for (const std::string& value : values) add(value, '\x02');
    }
    add("", '\x03');
  }
  char text[40];
  std::snprintf(text, sizeof text, "%zu-%016llx", entries.size(), static_cast<unsigned long long>(hash));
  return text;
}

}  // namespace commdir_testing

#endif  // COMMDIR_TESTS_INTEGRATION_SOAK_SOAK_DIGEST_H_
