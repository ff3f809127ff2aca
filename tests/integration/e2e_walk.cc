#include "integration/e2e_walk.h"

#include <sys/wait.h>

#include <algorithm>
#include <cstring>
#include <iostream>

namespace commdir_testing {
namespace {

using velmarosta::comm_dir_facade;

// Attributes that hold bytes rather than text: read as binary values, which
// is also how ldapsearch shows them (base64), so both sides compare bytes.
bool is_binary(const char* attribute) { return std::strcmp(attribute, "jpegPhoto") == 0; }

template <size_t N>
void copy_field(char (&field)[N], const std::string& text) {
  std::memset(field, 0, N);
  std::memcpy(field, text.data(), std::min(text.size(), N - 1));
}

const char* password_of(Identity identity) {
  return identity == Identity::kReader ? SlapdFixture::kReaderPassword : "not-the-password";
}

const char* scope_name(UINT scope) {
  static const char* const kNames[] = {"base", "one", "sub", "children"};
  return scope < 4 ? kNames[scope] : "sub";
}

// Reads the values of `attribute` of the current entry into `values`.
RETCODE read_values(comm_dir_facade* facade, UINT operation, CHAR* attribute,
                    std::vector<std::string>& values) {
  UINT count = 0;
  if (is_binary(attribute)) {
    velmarosta::COMM_DIR_BERVAL** list = nullptr;
    RETCODE rc = facade->get_value_binary(operation, attribute, count, list);
    for (UINT i = 0; rc == 0 && list != nullptr && i < count; ++i) {
      values.emplace_back(list[i] ? std::string(list[i]->bv_val, list[i]->bv_len) : "<missing>");
    }
    return rc;
  }
  CHAR** list = nullptr;
  RETCODE rc = facade->get_value_string(operation, attribute, count, list);
  for (UINT i = 0; rc == 0 && list != nullptr && i < count; ++i) {
    values.emplace_back(list[i] ? list[i] : "<missing>");
  }
  return rc;
}

// Reads every attribute of the current entry; returns the first failure and
// names its call.
RETCODE read_entry(comm_dir_facade* facade, UINT operation, LdifEntry& entry,
                   std::string& failed_call) {
  CHAR* attribute = nullptr;
  RETCODE rc = facade->get_first_attribute(operation, attribute);
  failed_call = "get_first_attribute";
  while (rc == 0 && attribute != nullptr) {
    entry.attributes.emplace_back(attribute, std::vector<std::string>());
    rc = read_values(facade, operation, attribute, entry.attributes.back().second);
    if (rc != 0) {
      failed_call = is_binary(attribute) ? "get_value_binary" : "get_value_string";
      return rc;
    }
    rc = facade->get_next_attribute(operation, attribute);
    failed_call = "get_next_attribute";
  }
  return rc;
}

RETCODE read_entries(comm_dir_facade* facade, UINT operation, FacadeWalk& walk) {
  RETCODE rc = facade->get_first_entry(operation);
  while (rc == 0) {
    walk.entries.emplace_back();
    rc = read_entry(facade, operation, walk.entries.back(), walk.failed_call);
    if (rc != 0) return rc;
    rc = facade->get_next_entry(operation);
  }
  walk.failed_call = "entries";
  return rc;
}

}  // namespace

velmarosta::COMM_DIR_CONNECT_INFO connect_record(const std::string& uri) {
  velmarosta::COMM_DIR_CONNECT_INFO record{};
  copy_field(record.uri, uri);
  record.security = velmarosta::COMM_DIR_SECURITY_NONE;
  record.network_timeout_ms = 5000;
  return record;
}

velmarosta::COMM_DIR_BIND_INFO bind_record(Identity identity) {
  velmarosta::COMM_DIR_BIND_INFO record{};
  if (identity == Identity::kAnonymous) {
    record.method = velmarosta::COMM_DIR_BIND_ANONYMOUS;
    return record;
  }
  record.method = velmarosta::COMM_DIR_BIND_SIMPLE;
  copy_field(record.bind_dn, SlapdFixture::kReaderDn);
  copy_field(record.password, password_of(identity));
  return record;
}

velmarosta::COMM_DIR_SEARCH_CONDITION search_record(const SearchSpec& spec, UINT operation) {
  velmarosta::COMM_DIR_SEARCH_CONDITION record{};
  record.operation_id = operation;
  copy_field(record.base_dn, spec.base);
  record.scope = spec.scope;
  record.deref = velmarosta::COMM_DIR_DEREF_NEVER;
  copy_field(record.filter, spec.filter);
  copy_field(record.attributes, spec.attributes);
  return record;
}

FacadeWalk walk(comm_dir_facade* facade, const std::string& uri, Identity identity,
                const SearchSpec& spec) {
  return walk(facade, connect_record(uri), identity, spec);
}

FacadeWalk walk(comm_dir_facade* facade, const velmarosta::COMM_DIR_CONNECT_INFO& connect, Identity identity,
                const SearchSpec& spec) {
  FacadeWalk walk;
  const velmarosta::COMM_DIR_BIND_INFO bind = bind_record(identity);
  UINT operation = 0;
  walk.result = facade->start_operation(connect, &bind, &operation);
  walk.failed_call = "start_operation";
  if (walk.result != 0) return walk;
  timeval no_time_limit{0, 0};
  walk.result = facade->search(search_record(spec, operation), spec.size_limit, no_time_limit);
  walk.failed_call = "search";
  if (walk.result == 0) walk.result = read_entries(facade, operation, walk);
  walk.end_operation_result = facade->end_operation(operation);
  return walk;
}

LdapSearchResult ldapsearch(const SlapdFixture& slapd, Identity identity, const SearchSpec& spec) {
  std::vector<std::string> args;
  if (identity != Identity::kAnonymous) {
    args = {"-D", SlapdFixture::kReaderDn, "-w", password_of(identity)};
  }
  args.insert(args.end(), {"-b", spec.base, "-s", scope_name(spec.scope)});
  if (spec.size_limit != 0) args.insert(args.end(), {"-z", std::to_string(spec.size_limit)});
  args.push_back(spec.filter.empty() ? "(objectClass=*)" : spec.filter);
  size_t start = 0;
  while (start < spec.attributes.size()) {
    size_t end = spec.attributes.find(' ', start);
    if (end == std::string::npos) end = spec.attributes.size();
    if (end > start) args.push_back(spec.attributes.substr(start, end - start));
    start = end + 1;
  }
  return slapd.search(args);
}

std::vector<LdifEntry> without_dns(std::vector<LdifEntry> entries) {
  for (LdifEntry& entry : entries) entry.dn.clear();
  return entries;
}

void EndToEndTest::SetUp() {
  slapd_ = std::make_unique<SlapdFixture>(COMMDIR_SLAPD_FIXTURE, COMMDIR_ADDRESS_BOOK);
  ASSERT_TRUE(slapd_->ok()) << slapd_->error();
  service_ = std::make_unique<ServiceProcess>(COMMDIR_SERVICE_BIN, daemon_args());
  ASSERT_TRUE(service_->ok()) << service_->error();
  facade_ = comm_dir_facade::comm_dir_get_instance();
  ASSERT_NE(facade_, nullptr);
}

void EndToEndTest::TearDown() {
  if (service_ != nullptr) {
    // A daemon that crashed, or that a sanitizer stopped at exit, fails the
    // test even when every answer it gave was right.
    const int status = service_->stop();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "wait status " << status;
    if (HasFailure()) std::cerr << "--- comm-dir-service output ---\n" << service_->log() << "---\n";
  }
  service_.reset();
  slapd_.reset();
}

}  // namespace commdir_testing
