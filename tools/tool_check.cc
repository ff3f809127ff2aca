// comm-dir check: the connection test, by reply or by callback.

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>

#include "commdir/comm_dir_result_codes.h"
#include "platform/commdir_thread_safety.h"
#include "platform/posix/commdir_posix_tasks.h"
#include "platform/posix/commdir_posix_text.h"
#include "tools/tool_outcome.h"
#include "tools/tool_password.h"
#include "tools/tool_session.h"

namespace commdir_tools {

using velmarosta::comm_dir_facade;

// How long comm-dir waits for the answer to the daemon's callback to be
// sent: the daemon's own reply server takes it at once.
constexpr ULONG kAnswerSentMs = 2000;

// The object that the connection test's callback reaches.
//
// Thread-safe: on_callback runs on a task of the library's callback server,
// wait_for on the main thread; both work under mu_.
class test_callback : public velmarosta::comm_dir_callback {
 public:
  void on_callback(UINT argument) override {
    commdir_sync::lock_guard lock(mu_);
    result_ = static_cast<RETCODE>(argument);
    called_ = true;
    done_.notify_all();
  }

  // True and the test's result when the callback came within `limit`.
  bool wait_for(std::chrono::seconds limit, RETCODE* result) {
    commdir_sync::unique_lock lock(mu_);
    if (!done_.wait_for(lock, limit, [this]() REQUIRES(mu_) { return called_; })) return false;
    *result = result_;
    return true;
  }

 private:
  commdir_sync::mutex mu_;
  commdir_sync::condition_variable done_;
  bool called_ GUARDED_BY(mu_) = false;
  RETCODE result_ GUARDED_BY(mu_) = 0;
};

// A string field of the daemon's answer, which may lack its NUL, as a
// terminal may show it: the diagnostic is the LDAP server's text.
template <std::size_t N>
std::string field_text(const char (&field)[N]) {
  return commdir_posix::Visible(std::string_view(field, ::strnlen(field, N)));
}

void print_findings(const velmarosta::COMM_DIR_TEST_CONNECTION_INFO& info, bool bind_asked) {
  std::printf("callback server: %s\n", field_text(info.callback_server_name).c_str());
  std::printf("server reachable: %s\n", info.reachable ? "yes" : "no");
  std::printf("bind accepted: %s\n", !bind_asked ? "not tried" : info.bind_accepted ? "yes" : "no");
  std::printf("LDAP result: %d\n", static_cast<int>(info.ldap_result));
  std::printf("result: %s\n", describe_result(info.result).c_str());
  const std::string diagnostic = field_text(info.diagnostic);
  if (!diagnostic.empty()) std::printf("diagnostic: %s\n", diagnostic.c_str());
}

[[noreturn]] void run_check(tool_options& options) {
  velmarosta::COMM_DIR_TEST_CONNECTION_INFO info{};
  const velmarosta::COMM_DIR_BIND_INFO* bind = make_connection_records(&options.connection, &info.connect, &info.bind);
  info.bind_present = bind != nullptr ? 1 : 0;
  comm_dir_facade* facade = reach_facade();
  const std::unique_ptr<reply_watchdog> watching = start_watchdog(0);
  reply_watchdog& watchdog = *watching;

  if (!options.check.callback) {
    const RETCODE rc = guarded(watchdog, "check_connection",
                               [&] { return facade->check_connection(velmarosta::COMM_DIR_TEST_MODE_SYNC, info); });
    wipe(&info.bind);
    // A test that the daemon ran comes back with its findings, also when it
    // failed; a refusal of the daemon or the library has none.
    int ldap_code = 0;
    if (rc == 0 || velmarosta::comm_dir_ldap_code_of(rc, &ldap_code)) print_findings(info, bind != nullptr);
    if (rc != 0) say("check_connection: " + describe_result(rc));
    finish(exit_status_for(rc != 0 ? rc : info.result));
  }

  test_callback callback;
  info.callback_object = velmarosta::comm_dir_register_callback(&callback);
  if (info.callback_object == 0) {
    say("the callback object could not be registered");
    finish(kExitOther);
  }
  const RETCODE rc = guarded(watchdog, "check_connection",
                             [&] { return facade->check_connection(velmarosta::COMM_DIR_TEST_MODE_CALLBACK, info); });
  wipe(&info.bind);
  RETCODE result = rc;
  bool called = false;
  if (rc == 0) {
    std::printf("connection test started; waiting at most %d s for its callback on %s\n", options.check.wait_s,
                field_text(info.callback_server_name).c_str());
    std::fflush(stdout);
    called = callback.wait_for(std::chrono::seconds(options.check.wait_s), &result);
  }
  // Once this returns, the object is never called again: it may go.
  velmarosta::comm_dir_unregister_callback(info.callback_object);
  // The library's callback task answers the daemon once the object has
  // returned: leaving before that would keep the daemon waiting for the
  // answer until its --callback-timeout.
  if (called && commdir_posix_tasks_wait(kAnswerSentMs) != 0) say("the answer to the callback may not have been sent");
  if (rc != 0) {
    say("check_connection: " + describe_result(rc));
    finish(exit_status_for(rc));
  }
  if (!called) {
    say("no callback within " + std::to_string(options.check.wait_s) + " s");
    finish(kExitTimeout);
  }
  std::printf("callback: %s\n", describe_result(result).c_str());
  finish(exit_status_for(result));
}

}  // namespace commdir_tools
