// What the end-to-end tests share: a test fixture that starts slapd with the
// sample address book and the directory service daemon in a private IPC
// folder, records for the facade's calls, and a full walk of a search through
// the public facade that yields the same form as ldapsearch's LDIF.
#ifndef COMMDIR_TESTS_INTEGRATION_E2E_WALK_H_
#define COMMDIR_TESTS_INTEGRATION_E2E_WALK_H_

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "commdir/comm_dir_facade.h"
#include "commdir/comm_dir_records.h"
#include "commdir/comm_dir_types.h"
#include "support/service_process.h"
#include "support/slapd_fixture.h"

namespace commdir_testing {

// Who a walk binds as.
enum class Identity { kAnonymous, kReader, kReaderWrongPassword };

// A search as both the facade and ldapsearch take it. `attributes` is a blank
// separated list ("" for all user attributes).
struct SearchSpec {
  std::string base;
  UINT scope = velmarosta::COMM_DIR_SCOPE_SUB;
  std::string filter;
  std::string attributes;
  UINT size_limit = 0;
};

// The outcome of a walk: the entries read before the first non-zero result,
// that result and the call that returned it ("start_operation", "search",
// "entries" for get_first_entry/get_next_entry, or the attribute or value
// call that failed). A walk that ran to its end stops in "entries".
struct FacadeWalk {
  std::vector<LdifEntry> entries;  // without DNs: the facade has no DN call
  RETCODE result = 0;
  std::string failed_call;
  RETCODE end_operation_result = 0;  // of the closing end_operation (0 if none)
};

velmarosta::COMM_DIR_CONNECT_INFO connect_record(const std::string& uri);
velmarosta::COMM_DIR_BIND_INFO bind_record(Identity identity);
// The search record of `spec`, run by `operation`.
velmarosta::COMM_DIR_SEARCH_CONDITION search_record(const SearchSpec& spec, UINT operation);

// Opens an operation on `uri` as `identity`, runs `spec`, reads every entry,
// every attribute and all its values (jpegPhoto as binary values, the rest as
// strings), and ends the operation.
FacadeWalk walk(velmarosta::comm_dir_facade* facade, const std::string& uri, Identity identity,
                const SearchSpec& spec);
// The same over the connection that `connect` describes (TLS, several URIs).
FacadeWalk walk(velmarosta::comm_dir_facade* facade, const velmarosta::COMM_DIR_CONNECT_INFO& connect,
                Identity identity, const SearchSpec& spec);

// ldapsearch's view of the same search.
LdapSearchResult ldapsearch(const SlapdFixture& slapd, Identity identity, const SearchSpec& spec);

// The entries with their DNs blanked, for comparison with a facade walk.
std::vector<LdifEntry> without_dns(std::vector<LdifEntry> entries);

// slapd loaded with the sample address book, the daemon, and the facade of
// this process connected to that daemon. Each test case runs in a process of
// its own, so each gets fresh servers and a fresh facade.
class EndToEndTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
  // The daemon's options: by default a trace line per request, shown when a
  // test fails.
  virtual std::vector<std::string> daemon_args() const { return {"-d"}; }

  std::unique_ptr<SlapdFixture> slapd_;
  std::unique_ptr<ServiceProcess> service_;
  velmarosta::comm_dir_facade* facade_ = nullptr;
};

}  // namespace commdir_testing

#endif  // COMMDIR_TESTS_INTEGRATION_E2E_WALK_H_
