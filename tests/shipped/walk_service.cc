// A stand-in directory service for the out-of-tree application test: serves
// one operation with two entries over the POSIX platform until SIGTERM.
#include <signal.h>

#include <atomic>
#include <cstdio>

#include "client/comm_dir_messages.h"
#include "support/scripted_service.h"

int main() {
  using namespace velmarosta;
  constexpr RETCODE kNoMoreEntries = 0x34091001;
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGTERM);
  sigaddset(&stop_signals, SIGINT);
  // Blocked before any thread starts, so that only sigwait takes them.
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);

  commdir_test::scripted_service service;
  service.reply_word(COMM_DIR_FUNC_START_OPERATION, 0, 42);
  std::atomic<int> entries{0};
  service.on(COMM_DIR_FUNC_GET_FIRST_ENTRY, [&](const commdir_test::service_request&) {
    entries = 1;
    return commdir_test::scripted_reply::words(0, 0);
  });
  service.on(COMM_DIR_FUNC_GET_NEXT_ENTRY, [&](const commdir_test::service_request&) {
    return commdir_test::scripted_reply::words(++entries <= 2 ? 0 : kNoMoreEntries, 0);
  });
  service.serve_attributes({"cn", "mail", "jpegPhoto"});
  service.serve_values("cn", {std::string("Alice Example")});
  service.serve_values("mail", {std::string("alice@example.org"), std::nullopt,
                                std::string("a.example@example.org")});
  service.serve_values("jpegPhoto", {std::string("\xff\xd8\xff\x00\x10", 5)});
  if (service.start() != 0) {
    std::fprintf(stderr, "walk_service: cannot start utcp:COMM_DIR_SRV\n");
    return 1;
  }
  std::printf("ready\n");
  std::fflush(stdout);
  int received = 0;
  sigwait(&stop_signals, &received);
  service.stop();
  return 0;
}
