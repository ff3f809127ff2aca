// The request client over the fake platform: the exact platform call
// sequence, the envelope's bytes, every failure row with its trace and its
// clean-up, and the reply server's handling of bad, late and forged replies.
#include "ipc/comm_dir_ipc_multi_client.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "ipc/comm_dir_ipc_envelope.h"
#include "support/expect_trace.h"
#include "support/fake/fake_platform.h"
#include "support/reply_echo.h"

namespace {

using velmarosta::COMM_DIR_IPC_ENVELOPE_HEAD;
using velmarosta::COMM_DIR_IPC_MAX_PAYLOAD;
using velmarosta::COMM_DIR_IPC_REPLY_SIZE;
using velmarosta::COMM_DIR_IPC_REQUEST_SIZE;
using velmarosta::COMM_DIR_MULTI_IPC_CLNT;
using velmarosta::comm_dir_ipc_multi_client;

constexpr char kService[] = "utcp:COMM_DIR_SRV";
constexpr char kReplyServer[] = "utcp:DIR_CS_fakepro";
constexpr int kRequestSize = 76;  // as the facade client sends them
constexpr int kReplySize = 1948;
constexpr char kUntouched = 0x5a;

constexpr char kCallSig[] =
    "RETCODE velmarosta::comm_dir_ipc_multi_client::call_client(const "
    "velmarosta::COMM_DIR_MULTI_IPC_CLNT&, int, int, long int, char*, int, char*, int, int*, long "
    "unsigned int)";
constexpr char kDispatchSig[] =
    "static RETCODE velmarosta::comm_dir_ipc_multi_client::dispatch_client(char*, char*, int*)";
constexpr char kCreateSig[] =
    "RETCODE velmarosta::comm_dir_ipc_multi_client::create_client(const char*, const char*, int, "
    "int, int, velmarosta::COMM_DIR_MULTI_IPC_CLNT&)";
constexpr char kDestroySig[] =
    "RETCODE velmarosta::comm_dir_ipc_multi_client::destroy_client(const "
    "velmarosta::COMM_DIR_MULTI_IPC_CLNT&)";
constexpr char kInitSig[] = "RETCODE velmarosta::comm_dir_ipc_multi_client::initialize()";
constexpr char kFiniSig[] = "RETCODE velmarosta::comm_dir_ipc_multi_client::finalize()";

std::string failed(const std::string& call) {
  return "<Fatal>:<%s>(%d) : function failed : " + call + " ret=[%#lx]\n";
}

fake::Trace only_trace(const std::string& format, int flag, const char* signature) {
  return commdir_test::only_trace(fake::traces(), format, flag, signature);
}

// The extra argument of `t`, after the signature and the line.
fake::Value extra(const fake::Trace& t) { return t.args.size() >= 3 ? t.args[2] : fake::Value{}; }

// Checks the trace of a failed platform call and its "%#lx" code.
void expect_failed_trace(const std::string& call, RETCODE code, const char* signature) {
  fake::Trace t = only_trace(failed(call), 0, signature);
  EXPECT_EQ(extra(t).i, static_cast<long long>(static_cast<std::uint32_t>(code)));
  char printed[32];
  std::snprintf(printed, sizeof printed, "ret=[%#x]", static_cast<unsigned>(code));
  EXPECT_NE(t.text.find(printed), std::string::npos) << t.text;
}

void set_word(std::vector<char>& message, int offset, UINT word) { std::memcpy(message.data() + offset, &word, 4); }

// One call_client on a thread of its own. A call left waiting by a failed
// test is woken through the events the fake saw created, so that no test
// hangs.
class Caller {
 public:
  Caller(comm_dir_ipc_multi_client& client, const COMM_DIR_MULTI_IPC_CLNT& clnt, char tag,
         bool with_sndbuf = true, bool with_rcvbuf = true, int rcvsize = kReplySize)
      : payload_(kRequestSize), received_(static_cast<std::size_t>(rcvsize) + 8, kUntouched) {
    for (int i = 0; i < kRequestSize; ++i) payload_[i] = static_cast<char>(tag + i);
    thread_ = std::thread([=, &client, &clnt] {
      rc_ = client.call_client(clnt, 12, 0, 0, with_sndbuf ? payload_.data() : nullptr, kRequestSize,
                               with_rcvbuf ? received_.data() : nullptr, rcvsize, &rcvlen_, ~0UL);
      done_ = true;
    });
  }
  ~Caller() {
    if (!finished()) {
      for (const fake::Call& c : fake::calls_of("emwOSWResetEventSem")) emwOSWPostEventSem(c.args[0].i);
    }
    thread_.join();
  }
  bool finished(double seconds = 5.0) { return fake::wait_until([this] { return done_.load(); }, seconds); }
  RETCODE rc() const { return rc_; }
  int rcvlen() const { return rcvlen_; }
  const std::vector<char>& payload() const { return payload_; }
  const std::vector<char>& received() const { return received_; }
  bool got_own_payload() const { return std::memcmp(received_.data(), payload_.data(), kRequestSize) == 0; }
  bool nothing_received() const {
    return std::all_of(received_.begin(), received_.end(), [](char c) { return c == kUntouched; });
  }

 private:
  std::vector<char> payload_;
  std::vector<char> received_;
  int rcvlen_ = 1234;
  std::atomic<RETCODE> rc_{99};
  std::atomic<bool> done_{false};
  std::thread thread_;
};

class MultiClientTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fake::reset();
    ASSERT_EQ(emwGENIpcStartServer(kService, 1, 0x24000, commdir_test::echo_dispatch), 0);
    fake::hold(kService, true);
    client_ = std::make_unique<comm_dir_ipc_multi_client>();
    ASSERT_EQ(client_->create_client("COMM_DIR_CLT", kService, 0, 0, 0x34090000, clnt_), 0);
    fake::clear_log();
  }
  void TearDown() override {
    client_.reset();
    fake::reset();
  }

  // The request of a held call, its reply built by the echo peer.
  static std::vector<char> reply_to_pending(std::size_t index = 0) {
    return commdir_test::reply_to(fake::peek(kService, index).bytes.data());
  }
  static RETCODE inject(std::vector<char> reply) { return fake::inject(kReplyServer, std::move(reply)); }
  // True when the send mutex is free: taken and given back at once.
  static bool send_mutex_free(UINT id) {
    if (emwOSWRequestMutexSem(id, 0) != 0) return false;
    return emwOSWReleaseMutexSem(id) == 0;
  }

  std::unique_ptr<comm_dir_ipc_multi_client> client_;
  COMM_DIR_MULTI_IPC_CLNT clnt_{};
};


TEST(MultiClientLifecycleTest, InitializeNamesTheReplyServerAndFinalizeStopsIt) {
  struct Row { const char* process; const char* reply_server; } rows[] = {
      {"fakeproc", "utcp:DIR_CS_fakepro"}, {"seven77", "utcp:DIR_CS_seven77"}, {"ab", "utcp:DIR_CS_ab"},
      {"", "utcp:DIR_CS_"}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.process);
    fake::reset();
    fake::set_process_name(row.process);
    {
      comm_dir_ipc_multi_client client;
      auto mutexes = fake::calls_of("emwOSWCreateMutexSem");
      ASSERT_EQ(mutexes.size(), 2u);
      for (const fake::Call& c : mutexes) EXPECT_TRUE(c.args[1] == 0LL && c.args[2] == 1);
      EXPECT_NE(mutexes[0].args[0].i, mutexes[1].args[0].i);  // two words
      auto start = fake::calls_of("emwGENIpcStartServer");
      ASSERT_EQ(start.size(), 1u);
      EXPECT_TRUE(start[0].args[0] == row.reply_server);
      EXPECT_TRUE(start[0].args[1] == 0x34098000 && start[0].args[2] == 0x24000);
      EXPECT_EQ(start[0].args[3].i, static_cast<long long>(reinterpret_cast<std::uintptr_t>(
                                        &comm_dir_ipc_multi_client::dispatch_client)));
      EXPECT_TRUE(fake::server_running(row.reply_server));
    }
    auto stop = fake::calls_of("emwGENIpcRequestAdmin");
    ASSERT_EQ(stop.size(), 1u);
    EXPECT_TRUE(stop[0].args[0] == row.reply_server && stop[0].args[1] == 3);
    EXPECT_FALSE(fake::server_running(row.reply_server));
    EXPECT_TRUE(fake::traces().empty());
  }
}

TEST(MultiClientLifecycleTest, FailedInitializeMakesEveryCallFailAtOnce) {
  struct Row { const char* fn; int nth; RETCODE code; int mutexes_made; const char* reply_server_named; } rows[] = {{"emwOSWCreateMutexSem", 1, 0x1e01, 1, ""},
              {"emwOSWCreateMutexSem", 2, -1, 2, ""},
              {"emwGENIpcStartServer", 1, 0x7777, 2, "utcp:DIR_CS_fakepro"}};
  for (const Row& row : rows) {
    SCOPED_TRACE(std::string(row.fn) + " #" + std::to_string(row.nth));
    fake::reset();
    fake::fail_nth(row.fn, row.nth, row.code);
    comm_dir_ipc_multi_client client;  // its initialize fails
    expect_failed_trace(row.fn, row.code, kInitSig);
    EXPECT_EQ(fake::count_of("emwOSWCreateMutexSem"), row.mutexes_made);
    EXPECT_EQ(fake::count_of("emwGENIpcStartServer"), std::string(row.fn) == "emwGENIpcStartServer" ? 1 : 0);

    fake::clear_log();
    fake::fail_nth(row.fn, row.nth, row.code);
    EXPECT_EQ(client.initialize(), -1);
    expect_failed_trace(row.fn, row.code, kInitSig);

    fake::clear_log();
    COMM_DIR_MULTI_IPC_CLNT clnt{};
    char rcvbuf[8];
    EXPECT_EQ(client.call_client(clnt, 12, 0, 0, nullptr, 0, rcvbuf, 8, nullptr, ~0UL), -1);
    EXPECT_TRUE(fake::calls_of_this_thread().empty());  // refused before any platform call
    fake::Trace t = only_trace("<Fatal>:<%s>(%d) : reply server not running : %s\n", 0, kCallSig);
    EXPECT_TRUE(extra(t) == row.reply_server_named);
  }
}

TEST(MultiClientLifecycleTest, FinalizeFailureIsTracedAndStopsFurtherCalls) {
  fake::reset();
  comm_dir_ipc_multi_client client;
  fake::fail_nth("emwGENIpcRequestAdmin", 1, 0x51);
  fake::clear_log();
  EXPECT_EQ(client.finalize(), -1);
  expect_failed_trace("emwGENIpcStopServer", 0x51, kFiniSig);
  fake::clear_log();
  COMM_DIR_MULTI_IPC_CLNT clnt{};
  EXPECT_EQ(client.call_client(clnt, 12, 0, 0, nullptr, 0, nullptr, 0, nullptr, ~0UL), -1);
  EXPECT_TRUE(fake::calls_of_this_thread().empty());
}

TEST(MultiClientLifecycleTest, GetInstanceCreatesUnderBothLocksThenTakesNone) {
  fake::reset();
  comm_dir_ipc_multi_client* first = comm_dir_ipc_multi_client::get_instance();
  ASSERT_NE(first, nullptr);
  std::vector<std::string> order;
  for (const fake::Call& c : fake::calls()) order.push_back(c.fn);
  EXPECT_EQ(order, (std::vector<std::string>{"OSW_Thread_Guard", "OSW_Mutex_Semaphore", "OSW_Guard",
                                             "emwOSWCreateMutexSem", "emwOSWCreateMutexSem",
                                             "emwOSWGetProcessName", "emwGENIpcStartServer"}));
  EXPECT_TRUE(fake::calls_of("OSW_Mutex_Semaphore")[0].args[0] == 1);
  fake::clear_log();
  EXPECT_EQ(comm_dir_ipc_multi_client::get_instance(), first);
  EXPECT_TRUE(fake::calls_of_this_thread().empty());
}

TEST(MultiClientConcurrencyTest, RacingFirstCallsCreateOneClient) {
  fake::reset();
  std::atomic<bool> go{false};
  std::vector<comm_dir_ipc_multi_client*> seen(8, nullptr);
  std::vector<std::thread> threads;
  for (auto& instance : seen) {
    threads.emplace_back([&go, &instance] {
      while (!go) std::this_thread::yield();
      instance = comm_dir_ipc_multi_client::get_instance();
    });
  }
  go = true;
  for (auto& t : threads) t.join();
  for (auto* instance : seen) EXPECT_TRUE(instance != nullptr && instance == seen[0]);
  EXPECT_EQ(fake::count_of("OSW_Mutex_Semaphore"), 1);
  EXPECT_EQ(fake::count_of("emwGENIpcStartServer"), 1);
}

TEST_F(MultiClientTest, CreateClientChecksTheClientNameFirstThenTheServerName) {
  const std::string n32(32, 'c');
  const std::string n33(33, 'c');
  const char* const kClientBad = "<Fatal>:<%s>(%d) : Paramter client_name=[%s]\n";
  const char* const kServerBad = "<Fatal>:<%s>(%d) : Paramter server_name=[%s]\n";
  // format null: the names pass; client_printed: the trace carries the client pointer, else the server's
  struct Row { const char* client; const char* server; const char* format; bool client_printed; } rows[] = {
      {n32.c_str(), n32.c_str(), nullptr, false}, {n33.c_str(), kService, kClientBad, true},
      {"", kService, kClientBad, true},           {nullptr, kService, kClientBad, true},
      {nullptr, nullptr, kClientBad, true},       {"COMM_DIR_CLT", n33.c_str(), kServerBad, false},
      {"COMM_DIR_CLT", "", kServerBad, false},    {"COMM_DIR_CLT", nullptr, kServerBad, false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(std::string(row.client ? row.client : "(null)") + " / " + (row.server ? row.server : "(null)"));
    fake::clear_log();
    COMM_DIR_MULTI_IPC_CLNT clnt{};
    RETCODE rc = client_->create_client(row.client, row.server, 5, 6, 7, clnt);
    auto creates = fake::calls_of("emwGENIpcCreateClient");
    if (row.format == nullptr) {
      ASSERT_EQ(creates.size(), 1u);  // fails there only because no such server runs
      EXPECT_TRUE(creates[0].args[0] == n32 && creates[0].args[1] == n32);
      EXPECT_TRUE(creates[0].args[2] == 5 && creates[0].args[3] == 6 && creates[0].args[4] == 7);
      continue;
    }
    EXPECT_EQ(rc, -1);
    EXPECT_TRUE(fake::calls_of_this_thread().empty());
    fake::Trace t = only_trace(row.format, 0, kCreateSig);
    const char* printed = row.client_printed ? row.client : row.server;
    EXPECT_TRUE(printed == nullptr ? extra(t).is_null() : extra(t) == printed);
  }
}

TEST_F(MultiClientTest, ClientPlatformFailuresAreTracedWithTheirCode) {
  struct Row { const char* fn; RETCODE code; bool on_create; const char* signature; } rows[] = {{"emwGENIpcCreateClient", 0x4321, true, kCreateSig},
              {"emwGENIpcDestroyClient", -1, false, kDestroySig}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.fn);
    fake::clear_log();
    fake::fail_nth(row.fn, 1, row.code);
    COMM_DIR_MULTI_IPC_CLNT clnt{};
    EXPECT_EQ(client_->create_client("COMM_DIR_CLT", kService, 0, 0, 0x34090000, clnt), row.on_create ? -1 : 0);
    if (!row.on_create) { EXPECT_EQ(client_->destroy_client(clnt), -1); }
    expect_failed_trace(row.fn, row.code, row.signature);
  }
  fake::clear_log();
  clnt_.handle = 0xabcd;
  client_->destroy_client(clnt_);
  EXPECT_TRUE(fake::calls_of("emwGENIpcDestroyClient")[0].args[0] == 0xabcd);
}

// The sequence of the platform calls of one call_client, the envelope it
// sends, and what it copies back, with and without buffers.
TEST_F(MultiClientTest, CallClientSendsOneEnvelopeAndCopiesOnlyTheReplyPayload) {
  // echoed_reply_buffer_size: what the peer writes back there
  struct Row { const char* name; bool with_sndbuf, with_rcvbuf; UINT echoed_reply_buffer_size; } rows[] = {
      {"both buffers", true, true, COMM_DIR_IPC_REPLY_SIZE}, {"null sndbuf", false, true, COMM_DIR_IPC_REPLY_SIZE},
      {"null rcvbuf", true, false, COMM_DIR_IPC_REPLY_SIZE}, {"reply_buffer_size not consulted", true, true, 0}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    fake::clear_log();
    Caller caller(*client_, clnt_, 'A', row.with_sndbuf, row.with_rcvbuf, COMM_DIR_IPC_MAX_PAYLOAD);
    ASSERT_TRUE(fake::wait_until([] { return fake::pending(kService) == 1; }));
    fake::Message request = fake::peek(kService);
    ASSERT_EQ(request.bytes.size(), static_cast<std::size_t>(COMM_DIR_IPC_REQUEST_SIZE));
    COMM_DIR_IPC_ENVELOPE_HEAD head;
    std::memcpy(&head, request.bytes.data(), sizeof head);
    auto resets = fake::calls_of("emwOSWResetEventSem");
    ASSERT_EQ(resets.size(), 1u);
    const UINT event_id = static_cast<UINT>(resets[0].args[0].i);
    EXPECT_TRUE(head.event_sem_id == event_id && head.replied == 0u && head.type == 12u);
    std::string padded_name(kReplyServer);
    padded_name.resize(sizeof head.reply_server_name, '\0');
    EXPECT_EQ(std::string(head.reply_server_name, sizeof head.reply_server_name), padded_name);
    EXPECT_TRUE(head.reply_buffer != 0u && head.reply_buffer_size == static_cast<UINT>(COMM_DIR_IPC_REPLY_SIZE));
    const char* payload = request.bytes.data() + 124;
    std::vector<char> expected = row.with_sndbuf ? caller.payload() : std::vector<char>(kRequestSize, 0);
    EXPECT_EQ(0, std::memcmp(payload, expected.data(), kRequestSize));
    EXPECT_TRUE(std::all_of(payload + kRequestSize, payload + COMM_DIR_IPC_MAX_PAYLOAD, [](char c) { return c == 0; }));

    std::vector<char> reply = reply_to_pending();
    auto* reply_head = reinterpret_cast<COMM_DIR_IPC_ENVELOPE_HEAD*>(reply.data());
    reply_head->reply_buffer_size = row.echoed_reply_buffer_size;
    reply[COMM_DIR_IPC_REPLY_SIZE - 1] = 'Z';  // the last payload byte
    ASSERT_EQ(inject(reply), 0);
    ASSERT_TRUE(caller.finished());
    EXPECT_EQ(caller.rc(), 0);
    EXPECT_EQ(caller.rcvlen(), 1234);  // the ninth parameter is never touched
    if (row.with_rcvbuf) {
      EXPECT_EQ(0, std::memcmp(caller.received().data(), reply.data() + 128, COMM_DIR_IPC_MAX_PAYLOAD));
      EXPECT_EQ(caller.received()[COMM_DIR_IPC_MAX_PAYLOAD - 1], 'Z');
      EXPECT_EQ(caller.received()[COMM_DIR_IPC_MAX_PAYLOAD], kUntouched);  // not one byte more
    } else {
      EXPECT_TRUE(caller.nothing_received());
    }
    ASSERT_TRUE(fake::drop(kService));

    // The caller's own calls, in order (the post comes from the reply
    // server's side and is logged concurrently with the end of the wait).
    std::vector<std::string> order;
    for (const fake::Call& c : fake::calls()) {
      if (c.fn != "emwOSWPostEventSem") order.push_back(c.fn);
    }
    EXPECT_EQ(order, (std::vector<std::string>{"emwOSWRequestMutexSem", "emwOSWCreateEventSem",
                                               "emwOSWResetEventSem", "emwGENIpcCallClient",
                                               "emwOSWReleaseMutexSem", "emwOSWWaitEventSem",
                                               "emwOSWDeleteEventSem"}));
    EXPECT_TRUE(fake::calls_of("emwOSWPostEventSem").at(0).args[0] == event_id);
    auto send = fake::calls_of("emwGENIpcCallClient")[0].args;
    EXPECT_TRUE(send[0] == clnt_.handle && send[1] == 0LL && send[2] == 0LL && send[3] == 0LL);
    EXPECT_TRUE(send[5] == COMM_DIR_IPC_REQUEST_SIZE && send[6].is_null() && send[7] == 0LL);
    EXPECT_TRUE(send[8].is_null() && send[9] == static_cast<long long>(~0UL));
    auto create = fake::calls_of("emwOSWCreateEventSem")[0].args;
    EXPECT_TRUE(create[1] == 0LL && create[2] == 0LL);
    EXPECT_TRUE(fake::calls_of("emwOSWRequestMutexSem")[0].args[1] == -1);
    auto wait = fake::calls_of("emwOSWWaitEventSem")[0].args;
    EXPECT_TRUE(wait[0] == event_id && wait[1] == -1);
    EXPECT_TRUE(fake::calls_of("emwOSWDeleteEventSem")[0].args[0] == event_id);
    EXPECT_TRUE(fake::traces().empty());
  }
}

TEST_F(MultiClientTest, CallClientRefusesSizesBeyondTheEnvelope) {
  std::vector<char> buffer(COMM_DIR_IPC_MAX_PAYLOAD + 1, 0);
  const char* const kSnd = "<Fatal>:<%s>(%d) : Paramter sndsize=[%d]\n";
  const char* const kRcv = "<Fatal>:<%s>(%d) : Paramter rcvsize=[%d]\n";
  constexpr int kOver = COMM_DIR_IPC_MAX_PAYLOAD + 1;
  // format null: accepted
  struct Row { bool sndbuf; int sndsize; bool rcvbuf; int rcvsize; const char* format; int printed; } rows[] = {
      {true, -1, true, 0, kSnd, -1},       {true, kOver, true, 0, kSnd, kOver},
      {true, 0, true, -5, kRcv, -5},       {true, 0, true, kOver, kRcv, kOver},
      {false, -1, false, 1 << 30, nullptr, 0},  // sizes without buffers are never used
      {true, COMM_DIR_IPC_MAX_PAYLOAD, true, COMM_DIR_IPC_MAX_PAYLOAD, nullptr, 0},
  };
  fake::hold(kService, false);  // the echo peer answers at once
  for (const Row& row : rows) {
    SCOPED_TRACE(std::to_string(row.sndsize) + " / " + std::to_string(row.rcvsize));
    fake::clear_log();
    RETCODE rc = client_->call_client(clnt_, 1, 0, 0, row.sndbuf ? buffer.data() : nullptr, row.sndsize,
                                      row.rcvbuf ? buffer.data() : nullptr, row.rcvsize, nullptr, ~0UL);
    if (row.format == nullptr) {
      EXPECT_EQ(rc, 0);
      continue;
    }
    EXPECT_EQ(rc, -1);
    EXPECT_TRUE(fake::calls_of_this_thread().empty());
    EXPECT_TRUE(extra(only_trace(row.format, 0, kCallSig)) == row.printed);
  }
}

// Every failure row of call_client: its trace, its clean-up, nothing copied
// where the reply has not been collected, a reply arriving afterwards dropped,
// and the next call going through.
TEST_F(MultiClientTest, CallClientFailureRowsCleanUpAndLetTheNextCallThrough) {
  // event_deleted: in the clean-up; reply_collected: the payload reached rcvbuf before the failure
  struct Row { const char* fn; RETCODE code; bool event_deleted, reply_collected; } rows[] = {
      {"emwOSWRequestMutexSem", 0x101, false, false},
      {"emwOSWCreateEventSem", 0x102, false, false},
      {"emwOSWResetEventSem", -1, true, false},
      {"emwGENIpcCallClient", 0x104, true, false},
      {"emwOSWReleaseMutexSem", 0x105, true, false},
      {"emwOSWWaitEventSem", 0x106, true, false},
      {"emwOSWDeleteEventSem", 0x107, false, true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.fn);
    fake::clear_log();
    fake::fail_nth(row.fn, 1, row.code);
    {
      Caller caller(*client_, clnt_, 'F');
      // Only the last row gets as far as waiting: answer it.
      fake::wait_until([&] { return caller.finished(0) || fake::pending(kService) == 1; });
      if (!caller.finished(0) && row.reply_collected) { ASSERT_TRUE(fake::deliver(kService)); }
      ASSERT_TRUE(caller.finished());
      EXPECT_EQ(caller.rc(), -1);
      EXPECT_TRUE(row.reply_collected ? caller.got_own_payload() : caller.nothing_received());
    }
    expect_failed_trace(row.fn, row.code, kCallSig);
    const auto requests = fake::calls_of("emwOSWRequestMutexSem");
    ASSERT_EQ(requests.size(), 1u);
    const UINT send_mutex = static_cast<UINT>(requests[0].args[0].i);
    const bool failed_request = std::string(row.fn) == "emwOSWRequestMutexSem";
    EXPECT_EQ(fake::count_of("emwOSWReleaseMutexSem"), failed_request ? 0 : 1);
    auto resets = fake::calls_of("emwOSWResetEventSem");
    auto deletes = fake::calls_of("emwOSWDeleteEventSem");
    if (row.event_deleted) {
      ASSERT_EQ(deletes.size(), 1u);
      EXPECT_EQ(deletes[0].args[0].i, resets[0].args[0].i);
    } else if (!row.reply_collected) {
      EXPECT_TRUE(deletes.empty());
    }
    // A request that went out is answered late: the reply finds no call.
    if (fake::pending(kService) == 1) {
      fake::clear_log();
      ASSERT_TRUE(fake::deliver(kService));
      fake::drain();
      EXPECT_EQ(fake::count_of("emwOSWPostEventSem"), 0);
      only_trace("<Error>:<%s>(%d) : reply dropped : reply_buffer=[%#x] names no waiting call\n", 0,
                 kDispatchSig);
    }
    // A failed release has no effect in the fake: the mutex is still taken.
    if (std::string(row.fn) == "emwOSWReleaseMutexSem") emwOSWReleaseMutexSem(send_mutex);
    EXPECT_TRUE(send_mutex_free(send_mutex));
    fake::hold(kService, false);
    std::vector<char> next(kReplySize);
    EXPECT_EQ(client_->call_client(clnt_, 12, 0, 0, nullptr, 0, next.data(), kReplySize, nullptr, ~0UL), 0);
    fake::hold(kService, true);
  }
}

// Bad messages at the reply server while a call waits: none is copied, none
// wakes the caller, and the good reply that follows still does.
TEST_F(MultiClientTest, DispatchClientDropsWhatIsNotTheWaitingCallsReply) {
  using Mutate = void (*)(std::vector<char>&);
  const char* kNoCall = "<Error>:<%s>(%d) : reply dropped : reply_buffer=[%#x] names no waiting call\n";
  const char* kWrongEvent = "<Error>:<%s>(%d) : reply dropped : event_sem_id=[%#x] is not the call's\n";
  const char* kShort = "<Error>:<%s>(%d) : reply dropped : length=[%u] below %d\n";
  struct Row { const char* name; Mutate mutate; const char* format; int flag; RETCODE result; bool post_fails; } rows[] = {
      {"marker 0", [](std::vector<char>& m) { set_word(m, 24, 0); }, "[ERROR]<%s>(%d) \n", 1, 0, false},
      {"marker 2", [](std::vector<char>& m) { set_word(m, 24, 2); }, "[ERROR]<%s>(%d) \n", 1, 0, false},
      {"length short by one", [](std::vector<char>& m) { set_word(m, 4, COMM_DIR_IPC_REPLY_SIZE - 1); }, kShort, 0, -1, false},
      {"forged reply_buffer",
       [](std::vector<char>& m) { reinterpret_cast<COMM_DIR_IPC_ENVELOPE_HEAD*>(m.data())->reply_buffer ^= 0x40; }, kNoCall,
       0, -1, false},
      // Boundary words: none names a waiting call (live words are small
      // handles or heap addresses).
      {"reply_buffer 0", [](std::vector<char>& m) { set_word(m, 116, 0); }, kNoCall, 0, -1, false},
      {"reply_buffer 0x7FFFFFFF", [](std::vector<char>& m) { set_word(m, 116, 0x7FFFFFFF); }, kNoCall, 0, -1, false},
      {"reply_buffer 0x80000000", [](std::vector<char>& m) { set_word(m, 116, 0x80000000u); }, kNoCall, 0, -1, false},
      {"reply_buffer 0xFFFFFFFF", [](std::vector<char>& m) { set_word(m, 116, 0xFFFFFFFFu); }, kNoCall, 0, -1, false},
      {"event 0", [](std::vector<char>& m) { set_word(m, 72, 0); }, kWrongEvent, 0, -1, false},
      {"event 0x80000000", [](std::vector<char>& m) { set_word(m, 72, 0x80000000u); }, kWrongEvent, 0, -1, false},
      {"event 0xFFFFFFFF", [](std::vector<char>& m) { set_word(m, 72, 0xFFFFFFFFu); }, kWrongEvent, 0, -1, false},
      {"length 0", [](std::vector<char>& m) { set_word(m, 4, 0); }, kShort, 0, -1, false},
      {"length 128", [](std::vector<char>& m) { set_word(m, 4, 128); }, kShort, 0, -1, false},
      {"other event",
       [](std::vector<char>& m) { reinterpret_cast<COMM_DIR_IPC_ENVELOPE_HEAD*>(m.data())->event_sem_id += 1; },
       kWrongEvent, 0, -1, false},
      {"post fails", [](std::vector<char>&) {}, nullptr, 0, 0x4455, true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    fake::clear_log();
    Caller caller(*client_, clnt_, 'D');
    ASSERT_TRUE(fake::wait_until([] { return fake::pending(kService) == 1; }));
    std::vector<char> good = reply_to_pending();
    std::vector<char> bad = good;
    std::memset(bad.data() + 128, 'B', kReplySize);
    row.mutate(bad);
    if (row.post_fails) fake::fail_nth("emwOSWPostEventSem", 1, row.result);
    EXPECT_EQ(inject(bad), row.result);
    if (row.post_fails) {
      expect_failed_trace("emwOSWPostEventSem", row.result, kDispatchSig);
    } else {
      only_trace(row.format, row.flag, kDispatchSig);
      EXPECT_EQ(fake::count_of("emwOSWPostEventSem"), 0);
    }
    EXPECT_FALSE(caller.finished(0.05));
    ASSERT_EQ(inject(good), 0);  // also after a failed post: the call still waits for it
    ASSERT_TRUE(caller.finished());
    EXPECT_EQ(caller.rc(), 0);
    EXPECT_TRUE(caller.got_own_payload());
    ASSERT_TRUE(fake::drop(kService));
  }

  fake::clear_log();
  int size = 77;
  EXPECT_EQ(comm_dir_ipc_multi_client::dispatch_client(nullptr, nullptr, &size), -1);
  EXPECT_EQ(size, 0);
  EXPECT_TRUE(extra(only_trace("<Error>:<%s>(%d) : parameter failed : rcvbuf=%p\n", 0, kDispatchSig)).is_null());
}

// A reply that arrives before its caller waits wakes it at once; the same
// reply again finds the call answered and is dropped.
TEST_F(MultiClientTest, ReplyBeforeTheWaitIsKeptAndARepeatIsDropped) {
  std::atomic<bool> at_wait{false};
  std::atomic<bool> go_on{false};
  fake::set_hook("emwOSWWaitEventSem", [&] {
    at_wait = true;
    fake::wait_until([&] { return go_on.load(); });
  });
  Caller caller(*client_, clnt_, 'R');
  ASSERT_TRUE(fake::wait_until([&] { return at_wait.load(); }));
  std::vector<char> reply = reply_to_pending();
  EXPECT_EQ(inject(reply), 0);
  EXPECT_EQ(inject(reply), -1);
  only_trace("<Error>:<%s>(%d) : reply dropped : reply_buffer=[%#x] already answered\n", 0, kDispatchSig);
  EXPECT_EQ(fake::count_of("emwOSWPostEventSem"), 1);
  go_on = true;
  ASSERT_TRUE(caller.finished());
  EXPECT_EQ(caller.rc(), 0);
  EXPECT_TRUE(caller.got_own_payload());
  fake::set_hook("emwOSWWaitEventSem", nullptr);
}

}  // namespace
