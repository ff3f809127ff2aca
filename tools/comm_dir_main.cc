// comm-dir: a command-line client of libcommdir, and the example that
// application writers read. Everything goes through the public facade, as in
// any application; tool_search.cc has the walk: start an operation, search,
// walk the entries and their attributes, read the values, end the operation.
// Here the command line picks the command.
//
//   comm-dir search -H ldap://127.0.0.1:389/ -b ou=people,dc=example,dc=com "(sn=L*)" cn mail
//   comm-dir check -H ldap://127.0.0.1:389/ --callback
#include <sys/prctl.h>

#include <cstdio>
#include <cstdlib>

#include "tools/tool_outcome.h"
#include "tools/tool_session.h"
#include "tools/tool_tls.h"

#ifndef COMMDIR_VERSION
#define COMMDIR_VERSION "unknown"
#endif

int main(int argc, char** argv) {
  using namespace commdir_tools;
  // The library traces every refused call, the normal end of a walk
  // included; a command line tool keeps them out of the way unless asked.
  ::setenv("COMM_DIR_TRACE", "off", /*overwrite=*/0);
  remove_files_on_signals();
  tool_options options;
  std::string error;
  if (!parse_command_line(argc, argv, &options, &error)) {
    say(error);
    std::fputs("Try 'comm-dir --help'.\n", stderr);
    finish(kExitFailure);
  }
  // A password, once read, must not end up in a core file or before a
  // debugger of this user; copies of it may linger in freed memory, so this
  // holds for the rest of the run.
  if (options.connection.password_given) ::prctl(PR_SET_DUMPABLE, 0);
  switch (options.command) {
    case tool_command::kHelp: std::fputs(usage_text(), stdout); finish(0);
    case tool_command::kVersion: std::printf("comm-dir (libcommdir) %s\n", COMMDIR_VERSION); finish(0);
    case tool_command::kSearch:
      if (!resolve_password(&options.connection)) finish(kExitFailure);
      read_configured_defaults(&options);
      run_search(options);
    case tool_command::kCheck:
      if (!resolve_password(&options.connection)) finish(kExitFailure);
      read_configured_defaults(&options);
      run_check(options);
    case tool_command::kStatus: run_status(options);
  }
  finish(kExitFailure);
}
