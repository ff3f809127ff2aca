// Datagrams at the library's reply server over real sockets, while a call
// waits: the length word at byte 4 and the reply words at their boundaries,
// and replies cut at many offsets. Each is dropped with its trace line (the
// platform's or dispatch_client's), or taken when it is a well-formed reply;
// a dropped one wakes nobody, and the waiting call's own reply that follows
// reaches it intact.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <fstream>
#include <functional>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "ipc/comm_dir_ipc_envelope.h"
#include "ipc/comm_dir_ipc_multi_client.h"
#include "platform/emw_osw.h"
#include "support/reply_echo.h"
#include "support/private_ipc_folder.h"
#include "support/read_file.h"

namespace {

using namespace velmarosta;
using Bytes = std::vector<char>;

constexpr int kPayload = 76;
constexpr char kService[] = "utcp:BOUNDS_SRV";

// The service keeps the one request it gets until the test answers it.
std::mutex g_mu;
std::condition_variable g_arrived;
Bytes g_request;  // guarded by g_mu

RETCODE keep_request(char* rcvbuf, char*, int* size) {
  *size = 0;
  std::lock_guard<std::mutex> lock(g_mu);
  g_request.assign(rcvbuf, rcvbuf + COMM_DIR_IPC_REQUEST_SIZE);
  g_arrived.notify_all();
  return 0;
}

void put_word(Bytes& m, std::size_t offset, UINT word) {
  if (m.size() >= offset + sizeof word) std::memcpy(m.data() + offset, &word, sizeof word);
}

std::size_t occurrences(const std::string& text, const std::string& part) {
  std::size_t n = 0;
  for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
  return n;
}

class ReplyDatagramBoundsPosixTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(folder_.make("rbounds", commdir_testing::private_ipc_folder::trace::kToFile));
    // Every row looks for its own trace line, more of one format than a
    // minute's budget lets through.
    setenv("COMM_DIR_TRACE_LIMIT", "off", 1);
    ASSERT_EQ(emwGENIpcStartServer(kService, 0, 0x24000, keep_request), 0);
    client_ = comm_dir_ipc_multi_client::get_instance();
    ASSERT_EQ(client_->create_client("BOUNDS_CLT", kService, 0, 0, COMM_DIR_IPC_ID_SERVICE, clnt_), 0);
    char process[16] = {};
    emwOSWGetProcessName(process);
    reply_path_ = folder_.path() + "/DIR_CS_" + std::string(process).substr(0, COMM_DIR_REPLY_SERVER_PROCESS_CHARS);
  }
  void TearDown() override {
    client_->destroy_client(clnt_);
    emwGENIpcRequestAdmin(kService, GEN_IPC_ADMIN_STOP);
    unsetenv("COMM_DIR_TRACE_LIMIT");
  }

  std::string traces() const { return commdir_testing::read_file(folder_.trace_path()); }

  void send_raw(const Bytes& datagram) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, reply_path_.c_str(), reply_path_.size() + 1);
    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(fd, 0);
    ssize_t sent = sendto(fd, datagram.data(), datagram.size(), 0, reinterpret_cast<sockaddr*>(&address), sizeof address);
    close(fd);
    ASSERT_EQ(sent, static_cast<ssize_t>(datagram.size())) << strerror(errno);
  }

  commdir_testing::private_ipc_folder folder_;
  std::string reply_path_;
  comm_dir_ipc_multi_client* client_ = nullptr;
  COMM_DIR_MULTI_IPC_CLNT clnt_{};
};

TEST_F(ReplyDatagramBoundsPosixTest, LengthWordsReplyWordsAndCutsAreDroppedAndTheCallStillAnswered) {
  using Change = std::function<void(Bytes&)>;
  struct Row {
    std::string what;
    Change change;        // applied to the waiting call's own reply, its payload marked
    std::string dropped;  // the trace line's telling part; empty: the reply is taken
  };
  auto length_word = [](UINT word) { return [word](Bytes& m) { put_word(m, GEN_IPC_HDR_LENGTH_OFFSET, word); }; };
  auto word_at = [](std::size_t offset, UINT word) { return [=](Bytes& m) { put_word(m, offset, word); }; };
  auto cut_at = [](std::size_t size) {
    return [size](Bytes& m) {
      put_word(m, GEN_IPC_HDR_LENGTH_OFFSET, static_cast<UINT>(size));
      m.resize(size);
    };
  };
  const std::string kAbove = "its length word is above the largest message";
  const std::string kShortDatagram = "it is shorter than 128 bytes";
  const std::string kBelowReply = "reply dropped : length=[";
  std::vector<Row> rows = {
      {"length word 0", length_word(0), "it is longer than its length word"},
      {"length word 128 on a full reply", length_word(128), "it is longer than its length word"},
      {"length word one short of the reply", length_word(COMM_DIR_IPC_REPLY_SIZE - 1), "it is longer than its length word"},
      {"length word 65536: the largest message, taken", length_word(65536), ""},
      {"length word 65537", length_word(65537), kAbove},
      {"length word 0x7FFFFFFF", length_word(0x7FFFFFFF), kAbove},
      {"length word 0x80000000", length_word(0x80000000u), kAbove},
      {"length word 0xFFFFFFFF", length_word(0xFFFFFFFFu), kAbove},
      {"reply_buffer 0", word_at(116, 0), "names no waiting call"},
      {"reply_buffer 0x7FFFFFFF", word_at(116, 0x7FFFFFFF), "names no waiting call"},
      {"reply_buffer 0x80000000", word_at(116, 0x80000000u), "names no waiting call"},
      {"reply_buffer 0xFFFFFFFF", word_at(116, 0xFFFFFFFFu), "names no waiting call"},
      {"event_sem_id 0", word_at(72, 0), "is not the call's"},
      {"event_sem_id 0xFFFFFFFF", word_at(72, 0xFFFFFFFFu), "is not the call's"},
  };
  // Cuts every 4 bytes across the header and the envelope's fields, a byte
  // either side of each field boundary, and around the end of the reply.
  // Not at 0: an empty datagram is a sender's check that the server is
  // still there, ignored without a trace (dead_server_posix_test).
  std::vector<std::size_t> cuts;
  for (std::size_t at = 4; at <= 160; at += 4) cuts.push_back(at);
  for (std::size_t boundary : {4u, 24u, 72u, 76u, 80u, 84u, 116u, 120u, 124u, 128u, 144u}) {
    cuts.push_back(boundary - 1);
    cuts.push_back(boundary + 1);
  }
  for (std::size_t end : {128u + 1948u, static_cast<unsigned>(COMM_DIR_IPC_REPLY_SIZE)}) {
    cuts.push_back(end - 4);
    cuts.push_back(end - 1);
  }
  for (std::size_t at : cuts) {
    rows.push_back({"cut at " + std::to_string(at), cut_at(at), at < 128 ? kShortDatagram : kBelowReply});
  }

  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    {
      std::lock_guard<std::mutex> lock(g_mu);
      g_request.clear();
    }
    Bytes payload(kPayload);
    for (int i = 0; i < kPayload; ++i) payload[i] = static_cast<char>(i + 1);
    Bytes received(kPayload, 0);
    std::atomic<RETCODE> rc{99};
    std::thread caller([&] {
      rc = client_->call_client(clnt_, 12, 0, 0, payload.data(), kPayload, received.data(), kPayload, nullptr, ~0UL);
    });
    Bytes good;
    {
      std::unique_lock<std::mutex> lock(g_mu);
      ASSERT_TRUE(g_arrived.wait_for(lock, std::chrono::seconds(20), [] { return !g_request.empty(); }));
      good = commdir_test::reply_to(g_request.data());
    }
    Bytes bad = good;
    std::fill(bad.begin() + COMM_DIR_IPC_REPLY_PAYLOAD_OFFSET, bad.begin() + COMM_DIR_IPC_REPLY_PAYLOAD_OFFSET + kPayload, 'B');
    row.change(bad);
    const std::size_t lines_before = occurrences(traces(), row.dropped.empty() ? "\n" : row.dropped);
    send_raw(bad);
    if (row.dropped.empty()) {
      caller.join();
      EXPECT_EQ(rc, 0);
      EXPECT_EQ(received, Bytes(kPayload, 'B'));
      continue;
    }
    EXPECT_EQ(commdir_test::send_reply_form(good), 0);
    caller.join();
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(received, payload) << "a dropped datagram reached the caller";
    EXPECT_EQ(occurrences(traces(), row.dropped), lines_before + 1) << traces().substr(traces().size() > 400 ? traces().size() - 400 : 0);
  }
}

}  // namespace
