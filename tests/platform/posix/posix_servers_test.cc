// The message IPC's servers and what travels: names, a server's life, the
// zeros that stay home, room in a queue.
#include "support/posix_harness.h"

namespace {

using namespace commdir_posix_test;

// Names are 1 to 27 characters of a small alphabet after "utcp:". A name
// runs once, and again after a stop, reached through the pooled socket of
// before; a socket file of a dead process is replaced, a live one or a file
// that is no socket is not, and what holds it is said. Past 1,024
// descriptors, as a daemon may be.
TEST_F(PlatformTest, NamesAndTheLifeOfAServer) {
  std::vector<int> descriptors(1, open("/dev/null", O_RDONLY | O_CLOEXEC));
  while (descriptors.back() >= 0 && descriptors.back() < 1100) descriptors.push_back(dup(descriptors[0]));
  const std::string name32 = "utcp:" + std::string(27, 'n'), name33 = name32 + "n";
  const char* names[] = {name32.c_str(), "utcp:a.b-c_D9",  // the valid ones
                         name33.c_str(), "utcp:",         "COMM_DIR_SRV", "utcp:a/b", "utcp:a b",
                         "utcp:..",      "utcp:\xc3\xa9", "tcp:abc",      nullptr};
  UINT clnt[8] = {};
  for (const char* name : names) {
    const RETCODE valid = name == names[0] || name == names[1] ? 0 : EINVAL;
    EXPECT_EQ(emwGENIpcStartServer(name, 0, 0x24000, Record), valid);
    EXPECT_EQ(emwGENIpcCreateClient("C", name, 0, 0, 0, clnt), valid);
    EXPECT_EQ(emwGENIpcDestroyClient(clnt[0]) | emwGENIpcRequestAdmin(name, GEN_IPC_ADMIN_STOP), valid);
  }
  EXPECT_EQ(emwGENIpcCreateClient(name33.c_str(), name32.c_str(), 0, 0, 0, clnt), EINVAL);
  for (char tag : {'\1', '\2'}) {
    Bytes message = Message(200, {{150, tag}});
    ASSERT_EQ(Start("utcp:LIFE"), 0);
    EXPECT_EQ(Start("utcp:LIFE"), EADDRINUSE);
    ASSERT_EQ(Send("utcp:LIFE", message), 0);
    EXPECT_EQ(Taken(tag).back(), message);
    ASSERT_EQ(emwGENIpcRequestAdmin("utcp:LIFE", GEN_IPC_ADMIN_STOP), 0);
    EXPECT_NE(access(Path("LIFE").c_str(), F_OK), 0);
    EXPECT_EQ(emwGENIpcRequestAdmin("utcp:LIFE", GEN_IPC_ADMIN_STOP), ENOENT);
    EXPECT_TRUE(tag == 1 || Send("utcp:LIFE", message) != 0);  // not before: the pooled socket is to reconnect
  }
  const int other = Socket(Path("STALE"), true);
  EXPECT_EQ(Start("utcp:STALE"), EADDRINUSE);
  EXPECT_EQ(Count(Trace(), "utcp:STALE cannot be served: " + Path("STALE") + " is the socket of pid " +
                               std::to_string(getpid()) + " ("),
            1u);  // the holder, when the kernel tells it
  close(other);
  EXPECT_EQ(Start("utcp:STALE"), 0);
  std::ofstream(Path("PLAIN")) << "keep";
  EXPECT_EQ(Start("utcp:PLAIN"), EADDRINUSE);
  EXPECT_EQ(access(Path("PLAIN").c_str(), F_OK), 0);
  char why[512];
  EXPECT_EQ(commdir_posix_ipc_start_failure(why, sizeof why), 0);
  EXPECT_EQ(why, "cannot serve utcp:PLAIN: " + Path("PLAIN") + " is a file of uid " + std::to_string(geteuid()) +
                     " that is not a socket; remove it");
  // At its end a process removes its own files, not one that another bound since at the path of one.
  ASSERT_EQ(Start("utcp:GONE"), 0);
  unlink(Path("GONE").c_str());
  const int since = Socket(Path("GONE"), true);
  commdir_posix_ipc_remove_own_files();
  EXPECT_TRUE(access(Path("STALE").c_str(), F_OK) != 0 && access(Path("GONE").c_str(), F_OK) == 0);
  close(since);
  for (int fd : descriptors) close(fd);
}

// A sender leaves a message's trailing zeros out of the datagram (never its
// header, whose words are the platform's), told where they begin or not,
// and leaves the caller's buffer as it was. (The receiver restores them:
// the reply server's table below.) A send waits for room in the server's
// queue as long as its time-out says: 0 only tries, a bound gives ETIMEDOUT
// after it, -1 waits until the server takes a message off its queue.
TEST_F(PlatformTest, TrailingZerosStayHomeAndASendWaitsForRoom) {
  const int raw = Socket(Path("RAW"), true);  // in a server's place, it shows what travels; reads only when told
  UINT clnt = 0;
  ASSERT_EQ(emwGENIpcCreateClient("C", "utcp:RAW", 0, 0, 0, &clnt), 0);
  constexpr std::size_t kPlain = ~std::size_t{0};  // zero_from for the send that is not told
  const Bytes tail = Message(49280, {{124, 7}, {199, 9}});
  const std::tuple<Bytes, INT, std::size_t, ssize_t> rows[] = {// message, kind, zero_from, datagram
                                                               {tail, 0, kPlain, 200},
                                                               {Message(49284, {{49283, 1}}), 1, kPlain, 49284},
                                                               {Message(128), 0, kPlain, 128},
                                                               {Message(49280, {{3, 1}, {71, 1}}), 1, kPlain, 128},
                                                               {tail, 0, 49280, 200},
                                                               {tail, 0, 200, 200},
                                                               {tail, 0, 1000000, 200},
                                                               {tail, 0, 190, 128},
                                                               {tail, 0, 0, 128}};
  for (auto [message, kind, zero_from, datagram] : rows) {
    Bytes sent = message, got(65536);
    const INT length = static_cast<INT>(sent.size());
    const RETCODE rc = zero_from == kPlain
                           ? emwGENIpcCallClient(clnt, kind, 0, 0, sent.data(), length, 0, 0, 0, ~0ul)
                           : commdir_posix_ipc_send_zero_tail(clnt, kind, sent.data(), length, zero_from, ~0ul);
    ASSERT_EQ(rc, 0);
    EXPECT_EQ(recv(raw, got.data(), got.size(), 0), datagram) << zero_from;
    EXPECT_EQ(read_word(got.data(), GEN_IPC_HDR_LENGTH_OFFSET), message.size());
    EXPECT_EQ(read_word(got.data(), GEN_IPC_HDR_KIND_OFFSET) + read_word(got.data(), 0), static_cast<UINT>(kind));
    EXPECT_EQ(sent, message);
  }
  Bytes m = Message(128);
  auto send = [&](ULONG timeout) { return emwGENIpcCallClient(clnt, 0, 0, 0, m.data(), 128, 0, 0, 0, timeout); };
  for (int queued = 0; send(0) == 0;) ASSERT_LT(++queued, 10000) << "the queue never filled";
  EXPECT_EQ(send(100), ETIMEDOUT);
  for (ULONG timeout : {~0ul, 5000ul}) {
    auto waiting = std::async(std::launch::async, send, timeout);
    EXPECT_EQ(waiting.wait_for(milliseconds(100)), std::future_status::timeout) << "did not wait for room";
    char taken[128];  // not into m, which the waiting send reads
    ASSERT_GT(recv(raw, taken, sizeof taken, 0), 0);
    EXPECT_EQ(waiting.get(), 0);
  }
  close(raw);
}

}  // namespace
