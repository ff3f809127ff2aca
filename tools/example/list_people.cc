// The smallest application of libcommdir: the people under a base DN with
// their names and mail addresses, read anonymously.
//
//   list-people ldap://127.0.0.1:389/ ou=people,dc=example,dc=com
//
// Build: g++ -std=c++17 list_people.cc -lcommdir -lcommdir_posix
#include <cstdio>

#include "commdir/comm_dir_facade.h"
#include "commdir/comm_dir_result_codes.h"

using namespace velmarosta;

// Prints what the server sent with its control characters (ESC, BEL, CR,
// DEL, and C1 in UTF-8) as \xNN, so that it cannot command the terminal.
void print_visible(const char* text) {
  for (const unsigned char* c = reinterpret_cast<const unsigned char*>(text); *c != 0; ++c) {
    if (*c == 0xc2 && c[1] >= 0x80 && c[1] <= 0x9f) {
      std::printf("\\x%02x\\x%02x", c[0], c[1]), ++c;
    } else if (*c < 0x20 || *c == 0x7f) {
      std::printf("\\x%02x", *c);
    } else {
      std::putchar(*c);
    }
  }
}

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s URI BASE_DN\n", argv[0]);
    return 2;
  }
  comm_dir_facade* directory = comm_dir_facade::comm_dir_get_instance();

  // Connect (no bind record: anonymous). The id names the operation in
  // every later call.
  COMM_DIR_CONNECT_INFO connect{};
  std::snprintf(connect.uri, sizeof connect.uri, "%s", argv[1]);
  UINT operation = 0;
  RETCODE rc = directory->start_operation(connect, nullptr, &operation);
  if (rc != 0) {
    std::fprintf(stderr, "start_operation: %s\n", comm_dir_result_message(rc));
    return 1;
  }

  COMM_DIR_SEARCH_CONDITION search{};
  std::snprintf(search.base_dn, sizeof search.base_dn, "%s", argv[2]);
  search.scope = COMM_DIR_SCOPE_ONE;
  std::snprintf(search.filter, sizeof search.filter, "(objectClass=inetOrgPerson)");
  std::snprintf(search.attributes, sizeof search.attributes, "cn mail");
  search.operation_id = operation;
  timeval no_time_limit{0, 0};
  rc = directory->search(search, /*size_limit=*/0, no_time_limit);

  // Walk the entries, their attributes and the values. The names and value
  // lists belong to the library: it frees them at the next call of the same
  // kind and at end_operation.
  for (rc = rc != 0 ? rc : directory->get_first_entry(operation); rc == 0; rc = directory->get_next_entry(operation)) {
    CHAR* attribute = nullptr;
    for (RETCODE more = directory->get_first_attribute(operation, attribute); more == 0 && attribute != nullptr;
         more = directory->get_next_attribute(operation, attribute)) {
      UINT count = 0;
      CHAR** values = nullptr;
      if (directory->get_value_string(operation, attribute, count, values) != 0) continue;
      for (UINT i = 0; i < count && values[i] != nullptr; ++i) {
        print_visible(attribute), std::printf(": "), print_visible(values[i]), std::printf("\n");
      }
    }
    std::printf("\n");
  }
  directory->end_operation(operation);

  // A walk that ran to its end stops with COMM_DIR_SVC_NO_MORE_ENTRIES.
  if (rc != COMM_DIR_SVC_NO_MORE_ENTRIES) {
    std::fprintf(stderr, "search: %s\n", comm_dir_result_message(rc));
    return 1;
  }
  return 0;
}
