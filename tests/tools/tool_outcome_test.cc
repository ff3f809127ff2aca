// comm-dir's exit statuses and messages, as ldapsearch's.
#include "tools/tool_outcome.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "commdir/comm_dir_result_codes.h"

namespace commdir_tools {
namespace {

using namespace velmarosta;

TEST(ToolOutcomeTest, ExitsWithLdapsearchsStatuses) {
  const struct Case {
    RETCODE code;
    int status;
    std::string described;
  } cases[] = {
      // described: the message's end
      {0, 0, "success (0)"},
      {comm_dir_code_from_ldap(4), 4, "size limit exceeded (4)"},
      {comm_dir_code_from_ldap(32), 32, "no such object (32)"},
      {comm_dir_code_from_ldap(-1), 255, "(-1)"},
      {comm_dir_code_from_ldap(-7), 249, "bad search filter (-7)"},
      {comm_dir_code_from_ldap(0x1000), kExitOther, "(4096)"},  // a low byte of 0 is no success
      {comm_dir_code_from_ldap(0xFFF), 255, "(4095)"},
      {comm_dir_code_from_ldap(0x4FFF), 255, "(20479)"},
      {comm_dir_code_from_ldap(-0xFF), 1, "(-255)"},
      {comm_dir_code_from_ldap(0x5000), kExitOther, "(0x340930ff)"},
      {comm_dir_code_from_ldap(-0x100), kExitOther, "(0x340930ff)"},
      {-1, kExitUnreachable, "(-1)"},
      {COMM_DIR_ERR, kExitOther, "(0x34090000)"},
      {COMM_DIR_SVC_BUSY, kExitOther, "busy: too many requests or operations; try again (0x34093006)"},
      // A failed ldaps:// handshake is a server that ldapsearch cannot contact.
      {COMM_DIR_SVC_TLS_CERT_UNTRUSTED, kExitUnreachable, "(0x34093030)"},
      {COMM_DIR_SVC_TLS_FAILED, kExitUnreachable, "(0x34093031)"},
      {COMM_DIR_SVC_TLS_CA_FILE, kExitUnreachable, "(0x34093032)"},
      {COMM_DIR_SVC_TLS_CA_NOT_ALLOWED, kExitOther, "(0x34093033)"},
      // A connection that does not stand in time cannot be contacted; an answer late is a time-out.
      {COMM_DIR_SVC_CONNECT_TIMEOUT, 255, "(0x34093020)"},
      {COMM_DIR_SVC_TLS_TIMEOUT, 255, "(0x34093021)"},
      {COMM_DIR_SVC_BIND_TIMEOUT, 251, "(0x34093022)"},
      {COMM_DIR_SVC_RESULT_TIMEOUT, 251, "(0x34093024)"},
  };
  for (const Case& c : cases) {
    const std::string described = describe_result(c.code);
    EXPECT_EQ(exit_status_for(c.code), c.status) << std::hex << c.code;
    const std::size_t end = described.size() - std::min(described.size(), c.described.size());
    EXPECT_TRUE(described.rfind("LDAP: ", 0) == std::string::npos && described.substr(end) == c.described) << described;
  }
}

}  // namespace
}  // namespace commdir_tools
