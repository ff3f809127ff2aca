// An application built outside the source tree against the installed
// library: one walk over the directory, printed, every result read before
// the call that frees it.
#include <commdir/comm_dir_facade.h>

#include <cstdio>
#include <cstring>

using velmarosta::comm_dir_facade;

static int fail(const char* call, RETCODE code) {
  std::fprintf(stderr, "%s failed: %#x\n", call, static_cast<unsigned>(code));
  return 1;
}

static void print_values(comm_dir_facade* dir, UINT op, CHAR* name) {
  UINT count = 0;
  if (std::strcmp(name, "jpegPhoto") == 0) {
    velmarosta::COMM_DIR_BERVAL** values = nullptr;
    if (dir->get_value_binary(op, name, count, values) != 0) return;
    for (UINT i = 0; i < count; ++i) {
      std::printf("%s:: %u bytes, first %02x\n", name, values[i]->bv_len,
                  static_cast<unsigned char>(values[i]->bv_val[0]));
    }
    return;
  }
  CHAR** values = nullptr;
  if (dir->get_value_string(op, name, count, values) != 0) return;
  for (UINT i = 0; i < count; ++i) std::printf("%s: %s\n", name, values[i] ? values[i] : "(none)");
}

int main() {
  comm_dir_facade* dir = comm_dir_facade::comm_dir_get_instance();
  if (dir == nullptr) return fail("comm_dir_get_instance", -1);
  velmarosta::COMM_DIR_CONNECT_INFO connect{};
  std::strcpy(connect.uri, "ldap://127.0.0.1:389");
  UINT op = 0;
  RETCODE rc = dir->start_operation(connect, nullptr, &op);
  if (rc != 0) return fail("start_operation", rc);
  velmarosta::COMM_DIR_SEARCH_CONDITION condition{};
  std::strcpy(condition.base_dn, "dc=example,dc=org");
  timeval limit{};
  if ((rc = dir->search(condition, 0, limit)) != 0) return fail("search", rc);
  int entry = 0;
  for (rc = dir->get_first_entry(op); rc == 0; rc = dir->get_next_entry(op)) {
    std::printf("entry %d\n", ++entry);
    CHAR* name = nullptr;
    for (RETCODE a = dir->get_first_attribute(op, name); a == 0 && name != nullptr;
         a = dir->get_next_attribute(op, name)) {
      print_values(dir, op, name);
    }
  }
  if ((rc = dir->end_operation(op)) != 0) return fail("end_operation", rc);
  std::printf("operation %u ended after %d entries\n", op, entry);
  return 0;
}
