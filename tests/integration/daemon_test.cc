// The daemon as any local program sees it: raw datagrams in its folder. Bad
// input of every kind is refused with its code or dropped; what it takes it
// answers, in each operation's order, also when it is busy, stopping, or an
// application does not read; a connection test's password goes nowhere; and
// it tells systemd how it is.
#include "integration/harness.h"

namespace commdir_testing {
namespace {

constexpr char kPassword[] = "for-the-ldap-server-alone";
constexpr std::size_t kHead = sizeof(COMM_DIR_IPC_ENVELOPE_HEAD);
constexpr UINT kPresent = COMM_DIR_REPLY_WORD_PRESENT;
const RETCODE kServerDown = comm_dir_code_from_ldap(-1);

COMM_DIR_CHECK_CONNECTION_REQUEST check_record(UINT mode, const std::string& uri, const char* callback = "",
                                               UINT object = 0) {
  const COMM_DIR_BIND_INFO bind = bind_as("cn=nobody,dc=example,dc=com", kPassword);
  COMM_DIR_CHECK_CONNECTION_REQUEST record{{}, mode, connecting(connect_to(uri, 0, "", 0, 0), &bind)};
  record.info.callback_object = object;
  copy_field(record.info.callback_server_name, callback);
  return record;
}

COMM_DIR_SEARCH_REQUEST search_record(const Search& search, UINT operation, UINT size_limit = 0) {
  return {{}, condition(search, operation), size_limit, 0, 0};
}

// Whether `secret` is anywhere in the writable memory of process `pid`,
// freed memory included.
bool memory_holds(pid_t pid, const std::string& secret) {
  const std::string proc = "/proc/" + std::to_string(pid);
  std::ifstream maps(proc + "/maps");
  const int mem = open((proc + "/mem").c_str(), O_RDONLY | O_CLOEXEC);
  bool found = false;
  std::vector<char> bytes(1 << 20);
  for (std::string line; mem >= 0 && !found && std::getline(maps, line);) {
    unsigned long start = 0, end = 0;
    char perms[5] = {};
    // A sanitizer's shadow memory is a writable mapping of terabytes that
    // holds no heap: the daemon's own is far below this bound.
    if (std::sscanf(line.c_str(), "%lx-%lx %4s", &start, &end, perms) != 3 || std::strncmp(perms, "rw", 2) != 0 ||
        end - start > (1ul << 30))
      continue;
    // In pieces that overlap by the secret's length, so that none is missed.
    for (unsigned long at = start; at < end && !found; at += bytes.size() - secret.size()) {
      const ssize_t got = pread(mem, bytes.data(), std::min<unsigned long>(bytes.size(), end - at), at);
      if (got <= 0) break;
      // libc's search: a sanitizer instruments every step of std::search, and a
      // sanitized daemon maps some 700 MiB that is read here again and again.
      found = memmem(bytes.data(), static_cast<std::size_t>(got), secret.data(), secret.size()) != nullptr;
    }
  }
  if (mem >= 0) close(mem);
  return found;
}

class DaemonTest : public IntegrationTest {
 protected:
  UINT open_reader(const COMM_DIR_CONNECT_INFO& connect = {}, const COMM_DIR_BIND_INFO* bind = &kReader) {
    const auto start =
        connecting<COMM_DIR_START_OPERATION_REQUEST>(connect.uri[0] ? connect : connect_to(slapd->uri), bind);
    const Reply reply = call(COMM_DIR_FUNC_START_OPERATION, start);
    EXPECT_EQ(reply.result(), 0);
    return reply.word();
  }
  // An operation on a server that accepts and never answers, whose search
  // (tag `tag`) waits the daemon's network timeout: its operation's later
  // requests wait behind it.
  UINT hold_operation(const Listener& silent, UINT tag) {
    const UINT operation = open_reader(connect_to(silent.uri(), 0, "", 0, 0), nullptr);
    send(request(COMM_DIR_FUNC_SEARCH, tag, search_record(Search{}, operation)));
    return operation;
  }
};

// Then a start whose operation finds no memory once its connection stood (a
// preloaded fault) is answered so, as any request that the daemon has no
// memory for, and its connection closed; the next start is served. A
// search that is never answered holds its operation: two requests
// wait behind it and the rest are answered busy at once. SIGTERM then answers
// the search and those that waited, and the daemon exits 0, its endpoint
// removed.
TEST_F(DaemonTest, AnswersEveryMessageWithItsCodeOrDropsIt) {
  start_slapd(false);
  ASSERT_EQ(start_daemon({"--workers=1", "--queue-limit=2", "--network-timeout=1500"},
                         {{"LD_PRELOAD", COMMDIR_DAEMON_FAULTS},
                          {"ASAN_OPTIONS", "verify_asan_link_order=0"},
                          {"COMMDIR_FAIL_OPERATION_NEW", "1"}}),
            "");
  struct Row {
    std::string what;
    int function_id;
    std::size_t offset;
    std::string text;  // written there with its NUL
    RETCODE code;      // 0: dropped, never answered
  };
  const RETCODE kScheme = COMM_DIR_SVC_URI_NOT_ALLOWED;
  const std::size_t test_uri = kHead + 80, start_uri = kHead + 72;
  const std::string down = kDownUri;
  // The decoder's own table holds every refusal and drop; here one of each
  // travels the whole way and is answered, or dropped, by the daemon. URI
  // lists are refused by the daemon before any connection: schemes other
  // than ldap:// and ldaps:// wherever they stand, as libldap reads a word
  // (split at commas too, "<...>" unwrapped), and blanks or commas alone
  // (libldap's default URI).
  const Row rows[] = {
      {"a zero record: no URI", 1, start_uri, "", COMM_DIR_SVC_BAD_FIELD},
      {"a reply sent as a request (replied 1)", 12, offsetof(COMM_DIR_IPC_ENVELOPE_HEAD, replied), "\x01", 0},
      {"ldapi:// without --allow-ldapi", 0, test_uri, "ldapi://%2Ftmp%2Fno-such-socket", kScheme},
      {"ldapi:// first, ldap:// behind it", 0, test_uri, "ldapi:/// " + down, kScheme},
      {"ldapi:// behind ldap://", 1, start_uri, down + "\tLDAPI:///", kScheme},
      {"ldapi:// behind a comma", 1, start_uri, down + ",ldapi://%2Ftmp%2Fno-such-socket", kScheme},
      {"ldapi:// in brackets behind a comma", 0, test_uri, down + "," + down + ",<LDAPI:///>", kScheme},
      {"ldapi:// behind a comma and a blank", 1, start_uri, down + ", URL:ldapi:///", kScheme},
      {"another scheme", 1, start_uri, "http://127.0.0.1/", kScheme},
      {"blanks only", 0, test_uri, " \t ", kScheme},
      {"commas only", 1, start_uri, " ,, ", kScheme},
  };
  UINT tag = 100;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what + ", function id " + std::to_string(row.function_id));
    std::vector<char> message = request(row.function_id, ++tag);
    std::memcpy(message.data() + row.offset, row.text.c_str(), row.text.size() + 1);
    send(message);
    if (row.code == 0) continue;
    const Reply reply = wire->wait(tag);
    EXPECT_EQ(reply.result(), row.code) << std::hex << reply.result();
    EXPECT_TRUE(reply.envelope() == row.code && reply.head.replied == 1 && reply.head.reply_buffer == ~tag);
    EXPECT_EQ(reply.head.type, static_cast<UINT>(row.function_id));
    EXPECT_STREQ(reply.head.reply_server_name, "utcp:WIRE");
  }
  const auto start = connecting<COMM_DIR_START_OPERATION_REQUEST>(connect_to(kDownUri));
  EXPECT_EQ(call(COMM_DIR_FUNC_START_OPERATION, start).result(), kServerDown);
  const auto to_slapd = connecting<COMM_DIR_START_OPERATION_REQUEST>(connect_to(slapd->uri), &kReader);
  EXPECT_EQ(call(COMM_DIR_FUNC_START_OPERATION, to_slapd).result(), COMM_DIR_SVC_NO_MEMORY);
  EXPECT_TRUE(eventually([&] { return connections_to(slapd->port()) == 0; })) << "its connection is left open";
  open_reader();  // and the next start is served
  EXPECT_TRUE(wire->quiet(ms(300))) << "a message that was to be dropped was answered";

  Listener silent;
  const UINT held = hold_operation(silent, 1);
  std::this_thread::sleep_for(ms(300));
  for (UINT tag = 2; tag <= 5; ++tag)
    send(request(COMM_DIR_FUNC_GET_FIRST_ENTRY, tag, COMM_DIR_OPERATION_REQUEST{{}, held}));
  for (UINT tag = 4; tag <= 5; ++tag) EXPECT_EQ(wire->wait(tag).result(), COMM_DIR_SVC_BUSY);
  EXPECT_EQ(daemon->stop(std::chrono::seconds(20)), 0);
  EXPECT_EQ(wire->wait(1).result(), COMM_DIR_SVC_RESULT_TIMEOUT);
  for (UINT tag = 2; tag <= 3; ++tag) EXPECT_EQ(wire->wait(tag).result(), COMM_DIR_SVC_NO_SEARCH);
  EXPECT_NE(access((dir + "/COMM_DIR_SRV").c_str(), F_OK), 0) << "the endpoint is left behind";
}

// An application that does not read its replies holds up no one else, and
// each of its calls gets one answer once it reads again: its replies wait in
// the daemon, and one that waited longer than --reply-wait, or found its
// user's share of kept bytes taken, comes as a notice (routed as the reply
// was). Refusals of the receiving thread never wait for room.
TEST_F(DaemonTest, AnApplicationThatDoesNotReadGetsEveryAnswerOnceItReadsAndHoldsUpNoOne) {
  struct Row {
    const char* what;
    std::vector<std::string> args;
    int servers;           // that do not read
    bool queue_held;       // so that the receiving thread answers busy
    ms unread;             // how long they do not read after the requests
    bool notices;          // some answers come as notices
    std::size_t answered;  // calls that get an answer
  };
  constexpr UINT kFirst = 500, kCount = 200;  // well past what the kernel queues for one socket
  const Row rows[] = {
      {"kept until it reads", {"--reply-wait=10000"}, 1, false, ms(0), false, kCount},
      {"kept past --reply-wait", {"--reply-wait=1500"}, 1, false, ms(2500), true, kCount},
      {"beyond its user's share of kept bytes", {"--max-kept-bytes-per-user=1"}, 1, false, ms(0), true, kCount},
      {"refused by the receiving thread, past --reply-wait",
       {"--reply-wait=1000", "--workers=1", "--queue-limit=1", "--network-timeout=5000"},
       100,
       true,
       ms(2500),
       true,
       kCount},
      // 1 x 1 + 1 + 1 + 1 notices for the user; its other calls wait on.
      {"beyond the notices one user may have kept",
       {"--reply-wait=500", "--workers=1", "--queue-limit=1", "--operation-queue-limit=1",
        "--max-operations-per-user=1"},
       1,
       false,
       ms(1500),
       true,
       4},
  };
  const auto answered = [](RETCODE code) {
    return code == COMM_DIR_SVC_UNKNOWN_OPERATION || code == COMM_DIR_SVC_BUSY || code == COMM_DIR_SVC_REPLY_DROPPED;
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    ASSERT_EQ(start_daemon(row.args), "");
    std::vector<std::unique_ptr<Endpoint>> stuck;
    for (int i = 0; i < row.servers; ++i) {
      stuck.push_back(std::make_unique<Endpoint>(dir, "STUCK" + std::to_string(i)));
      stuck.back()->fill();
    }
    Listener silent;
    if (row.queue_held) {  // a search waits, and one request behind it fills the queue
      const UINT held = hold_operation(silent, 1);
      std::this_thread::sleep_for(ms(300));
      send(request(COMM_DIR_FUNC_GET_FIRST_ENTRY, 2, COMM_DIR_OPERATION_REQUEST{{}, held}));
    }
    const auto start = Clock::now();
    for (UINT tag = kFirst; tag < kFirst + kCount; ++tag) {
      const std::string server = "utcp:STUCK" + std::to_string(tag % stuck.size());
      send(request(COMM_DIR_FUNC_GET_FIRST_ENTRY, tag, COMM_DIR_OPERATION_REQUEST{}, server));
    }
    const RETCODE others = call(COMM_DIR_FUNC_GET_FIRST_ENTRY, COMM_DIR_OPERATION_REQUEST{}).result();
    EXPECT_TRUE(answered(others) && others != COMM_DIR_SVC_REPLY_DROPPED) << std::hex << others;
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(1)) << "the daemon waited for room";
    std::this_thread::sleep_for(row.unread);
    std::vector<UINT> tags;
    int notices = 0;
    for (auto last = Clock::now(); Clock::now() - last < ms(500); std::this_thread::sleep_for(ms(10))) {
      for (std::size_t i = 0; i < stuck.size(); ++i) {
        // Reading the filling counts too: in a slow build it alone takes more
        // than the quiet time, and the daemon sends only once there is room.
        for (Reply reply; stuck[i]->receive(&reply, ms(0)); reply = Reply()) {
          last = Clock::now();
          if (reply.head.event_sem_id == 0) continue;  // the test's own filling
          tags.push_back(reply.head.event_sem_id);
          notices += reply.result() == COMM_DIR_SVC_REPLY_DROPPED;
          EXPECT_TRUE(answered(reply.result()) && reply.envelope() == reply.result()) << reply.result();
          EXPECT_EQ(reply.head.type, static_cast<UINT>(COMM_DIR_FUNC_GET_FIRST_ENTRY));
          EXPECT_EQ(reply.head.reply_buffer, ~reply.head.event_sem_id);
          EXPECT_EQ(reply.head.reply_server_name, "utcp:STUCK" + std::to_string(i));
        }
      }
    }
    std::sort(tags.begin(), tags.end());
    EXPECT_EQ(std::unique(tags.begin(), tags.end()), tags.end()) << "a call got two answers";
    EXPECT_EQ(tags.size(), row.answered);
    EXPECT_EQ(notices > 0, row.notices) << notices << " notices";
  }
}

// The record comes back, in the reply and in the callback, without its
// password, which is in no trace line either and, once its request is done,
// nowhere in the daemon's memory. Callbacks to an application that does not
// read, is gone or dies hold no worker: the one worker serves on while they
// wait, each up to its time-out.
TEST_F(DaemonTest, ConnectionTestsCallBackAndLeaveThePasswordNowhere) {
  const std::string folder = make_private_folder("commdir-trace"), trace = folder + "/trace.log";
  const auto holds = [](const std::string& path, const char* text) {
    return eventually([&] { return read_file(path).find(text) != std::string::npos; });
  };
  ASSERT_EQ(
      start_daemon({"--workers=1", "--callback-timeout=3000", "--allow-ldapi", "-d"}, {{"COMM_DIR_TRACE", trace}}), "");
  // SIGHUP sends the trace to a new file, for logrotate.
  ASSERT_TRUE(holds(trace, "serving utcp:COMM_DIR_SRV"));
  ASSERT_EQ(rename(trace.c_str(), (trace + ".1").c_str()), 0);
  ASSERT_EQ(kill(daemon->pid(), SIGHUP), 0);
  ASSERT_TRUE(holds(trace, "SIGHUP: trace file reopened"));
  const std::string down = kDownUri;
  const bool can_read_memory = geteuid() == 0;
  const auto expect_forgotten = [&](const char* after) {
    EXPECT_TRUE(!can_read_memory || eventually([&] { return !memory_holds(daemon->pid(), kPassword); }, ms(3000)))
        << after;
  };
  for (const std::string& uri : {down, std::string("ldapi://%2Ftmp%2Fno-such-socket")}) {
    SCOPED_TRACE(uri);
    const Reply sync = call(COMM_DIR_FUNC_CHECK_CONNECTION, check_record(COMM_DIR_TEST_MODE_SYNC, uri));
    const auto info = sync.at<COMM_DIR_TEST_CONNECTION_INFO>(sync.payload() + offsetof(COMM_DIR_REPLY, body));
    EXPECT_EQ(sync.result(), kServerDown);
    EXPECT_EQ(info.result, kServerDown);
    EXPECT_EQ(info.reachable + info.bind_accepted, 0u);
    EXPECT_EQ(info.ldap_result, -1);
    EXPECT_STRNE(info.diagnostic, "");
    EXPECT_EQ(info.connect.uri, uri);  // the record comes back ...
    EXPECT_STREQ(info.bind.bind_dn, "cn=nobody,dc=example,dc=com");
    EXPECT_EQ(sync.text().find(kPassword), std::string::npos);  // ... but its password
  }
  Endpoint ours(dir, "WIRE_CB"), mute(dir, "MUTE_CB");
  auto dying = std::make_unique<Endpoint>(dir, "DYING_CB");
  const auto check = [&](const char* name, UINT object = 0) {
    return call(COMM_DIR_FUNC_CHECK_CONNECTION, check_record(COMM_DIR_TEST_MODE_CALLBACK, down, name, object)).result();
  };
  EXPECT_EQ(check("WIRE_CB", 0xC0FFEE01), 0);  // answered at once ...
  Reply callback;
  ASSERT_TRUE(ours.receive(&callback, ms(15000)));  // ... and called back
  EXPECT_EQ(callback.head.type, static_cast<UINT>(COMM_DIR_FUNC_CHECK_CONNECTION));
  EXPECT_EQ(callback.word_at(76), 0xC0FFEE01u);
  EXPECT_EQ(static_cast<RETCODE>(callback.word_at(72)), kServerDown);
  EXPECT_EQ(callback.text().find(kPassword), std::string::npos);
  // The application's answer ends the daemon's wait; one that is no answer,
  // names no callback under way or comes from a user the daemon does not
  // serve is dropped.
  const auto with_word = [](std::vector<char> message, std::size_t offset, UINT word) {
    std::memcpy(&message[offset], &word, sizeof word);
    return message;
  };
  const std::vector<char> answer =
      with_word(with_word(std::vector<char>(callback.bytes.begin(), callback.bytes.begin() + COMM_DIR_IPC_REPLY_SIZE),
                          GEN_IPC_HDR_LENGTH_OFFSET, COMM_DIR_IPC_REPLY_SIZE),
                GEN_IPC_HDR_KIND_OFFSET, GEN_IPC_KIND_REPLY);
  EXPECT_TRUE(send(answer, "COMM_DIR_SRV_CB"));
  EXPECT_TRUE(send(with_word(answer, GEN_IPC_HDR_KIND_OFFSET, GEN_IPC_KIND_REQUEST), "COMM_DIR_SRV_CB"));
  const UINT unknown = ~callback.head.reply_buffer;
  EXPECT_TRUE(send(with_word(answer, offsetof(COMM_DIR_IPC_ENVELOPE_HEAD, reply_buffer), unknown), "COMM_DIR_SRV_CB"));
  const int to_daemon = unix_socket();
  const sockaddr_un address = unix_address(dir + "/COMM_DIR_SRV_CB");
  ASSERT_EQ(connect(to_daemon, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
  if (geteuid() == 0) {  // only root becomes another user
    AsUser stranger(65533, [&] { return std::to_string(::send(to_daemon, answer.data(), answer.size(), 0)); });
    EXPECT_EQ(stranger.result(), std::to_string(answer.size()));
    EXPECT_TRUE(holds(trace, "callback answer from a user that the daemon does not serve"));
  }
  close(to_daemon);
  char unknown_word[64];
  std::snprintf(unknown_word, sizeof unknown_word, "late or unknown callback answer (word %#x)", unknown);
  for (const char* dropped : {"not a callback answer (length ", static_cast<const char*>(unknown_word)}) {
    EXPECT_TRUE(holds(trace, dropped)) << dropped;
  }
  expect_forgotten("the connection tests");
  // More callbacks than the mute one's queue holds, one to a name that no
  // one holds, and one to an application that dies once it has it.
  for (int i = 0; i < 12; ++i) EXPECT_EQ(check("MUTE_CB"), 0);
  EXPECT_EQ(check("GONE_CB"), 0);
  EXPECT_EQ(check("DYING_CB"), 0);
  EXPECT_TRUE(dying->receive(&callback, ms(20000)));
  dying.reset();
  const COMM_DIR_BIND_INFO secret = bind_as(kReaderDn, kPassword);
  const auto start = connecting<COMM_DIR_START_OPERATION_REQUEST>(connect_to(down), &secret);
  EXPECT_EQ(call(COMM_DIR_FUNC_START_OPERATION, start).result(), kServerDown);
  EXPECT_EQ(read_file(trace).find("MUTE_CB not answered"), std::string::npos) << "the worker waited for a callback";
  expect_forgotten("the start of an operation");
  EXPECT_TRUE(holds(trace, "MUTE_CB not answered: given up"));
  const std::string moved = read_file(trace + ".1"), traced = moved + read_file(trace);
  EXPECT_NE(moved.find("SIGHUP: reopening the trace file"), std::string::npos) << moved;
  EXPECT_EQ(moved.find("MUTE_CB"), std::string::npos) << "traced to the file that was moved away";
  EXPECT_NE(traced.find("MUTE_CB"), std::string::npos) << traced;  // the trace is there to search
  EXPECT_EQ(traced.find(kPassword), std::string::npos);
  EXPECT_EQ(traced.find("WIRE_CB not answered"), std::string::npos) << "the answer was not taken";
  std::filesystem::remove_all(folder);
  if (!can_read_memory) GTEST_SKIP() << "reading the memory of a process that is not dumpable needs root";
}

// Requests of an operation, sent at once: each is answered in its order, so
// that it sees the state that those before it left, with what a reply
// carries and zeros behind it (the daemon reuses its envelopes). Then a
// daemon that ends idle operations keeps busy ones.
TEST_F(DaemonTest, ServesAnOperationsRequestsInTheirOrder) {
  start_slapd(false);
  ASSERT_TRUE(slapd->add(long_values_ldif())) << slapd->error;
  ASSERT_EQ(start_daemon({"--operation-queue-limit=128"}), "");
  struct Step {
    int id;
    RETCODE result = 0;
    UINT word = 0;
    std::string data = "";  // the name or value that the reply carries
    std::string attribute = "";
    UINT index = 0;  // of the value
    Search search = {};
    UINT size_limit = 0;
    bool other = false;  // on the other operation
  };
  const auto search = [](std::string base, std::string filter = "", UINT limit = 0, RETCODE result = 0) {
    return Step{COMM_DIR_FUNC_SEARCH, result, 0, "", "", 0, {base, filter, "uid description"}, limit};
  };
  const auto other = [](Step step) {
    step.other = true;
    return step;
  };
  constexpr int kFirst = COMM_DIR_FUNC_GET_FIRST_ENTRY, kNext = COMM_DIR_FUNC_GET_NEXT_ENTRY,
                kFirstAttr = COMM_DIR_FUNC_GET_FIRST_ATTRIBUTE, kStrCnt = COMM_DIR_FUNC_GET_VALUE_STRING_CNT,
                kStrLen = COMM_DIR_FUNC_GET_VALUE_STRING_LEN, kStrOne = COMM_DIR_FUNC_GET_VALUE_STRING_ONE,
                kBinLen = COMM_DIR_FUNC_GET_VALUE_BINARY_LEN, kBinOne = COMM_DIR_FUNC_GET_VALUE_BINARY_ONE;
  const std::string two = "(|(uid=aturing)(uid=alovelace))", media = std::string(",") + kMedia;
  const RETCODE kNoEntry = COMM_DIR_SVC_NO_ENTRY, kTooLarge = COMM_DIR_SVC_VALUE_TOO_LARGE;
  std::vector<Step> steps = {
      {kFirst, COMM_DIR_SVC_NO_SEARCH},
      {kFirstAttr, kNoEntry},
      search(kPeople, two),
      {kFirstAttr, kNoEntry},
      {kFirst},
      {COMM_DIR_FUNC_GET_NEXT_ATTRIBUTE, COMM_DIR_SVC_NO_ATTRIBUTE_WALK},
      {kFirstAttr, 0, kPresent, "uid"},
      {kStrCnt, 0, 1, "", "uid"},
      {kStrOne, 0, kPresent, "aturing", "uid"},
      {COMM_DIR_FUNC_GET_VALUE_BINARY_CNT, 0, 1, "", "uid"},
      {kBinLen, 0, 7, "", "uid"},
      {kStrCnt, 0, 0, "", "street"},  // an attribute the entry lacks
      {COMM_DIR_FUNC_GET_NEXT_ATTRIBUTE},
  };
  // Value indexes past the one value: no length, and no value without a failure.
  for (UINT index : {1u, 0x7FFFFFFFu, 0x80000000u, 0xFFFFFFFFu}) {
    steps.insert(steps.end(), {{kStrLen, COMM_DIR_SVC_NO_SUCH_VALUE, 0, "", "uid", index},
                               {kBinLen, COMM_DIR_SVC_NO_SUCH_VALUE, 0, "", "uid", index},
                               {kStrOne, 0, 0, "", "uid", index},
                               {kBinOne, 0, 0, "", "uid", index}});
  }
  steps.insert(steps.end(), {
                                {kNext},
                                {kStrOne, 0, kPresent, "alovelace", "uid"},
                                {kNext, COMM_DIR_SVC_NO_MORE_ENTRIES},
                                {kStrCnt, kNoEntry, 0, "", "uid"},
                                other(search(kPeople, two)),
                                other({kFirst}),  // its walk is its own
                                {kFirst},
                                {kStrOne, 0, kPresent, "aturing", "uid"},
                                other({kStrOne, 0, kPresent, "aturing", "uid"}),
                                {COMM_DIR_FUNC_FREE_MSG},
                                {kNext, COMM_DIR_SVC_NO_SEARCH},
                                {kFirstAttr, kNoEntry},
                                search(kPeople, "(cn=", 0, comm_dir_code_from_ldap(-7)),
                                search("ou=nowhere,dc=example,dc=com", "", 0, comm_dir_code_from_ldap(32)),
                                // A size limit of 0 is none; any other word limits, never wraps into
                                // a negative or unlimited one.
                                search(kPeople, two, 1),
                                {kFirst},
                                {kNext, comm_dir_code_from_ldap(4)},
                            });
  for (UINT limit : {0u, 0x7FFFFFFFu, 0x80000000u, 0xFFFFFFFFu}) {
    steps.insert(steps.end(), {search(kPeople, two, limit), {kFirst}, {kNext}, {kNext, COMM_DIR_SVC_NO_MORE_ENTRIES}});
  }
  // Values up to what one reply carries, and none longer (a string travels
  // with its NUL); a short one after a full reply.
  steps.insert(steps.end(), {
                                search("cn=v47208" + media),
                                {kFirst},
                                {kBinLen, 0, 47208, "", "description"},
                                {kBinOne, 0, kPresent, pattern(47208), "description"},
                                {kStrLen, kTooLarge, 47208, "", "description"},
                                {kStrOne, kTooLarge, 0, "", "description"},
                                search("cn=v47209" + media),
                                {kFirst},
                                {kBinLen, kTooLarge, 47209, "", "description", 1},
                                {kBinOne, kTooLarge, 0, "", "description", 1},
                                search("cn=v47209" + media),
                                {kFirst},
                                {kStrOne, 0, kPresent, "short", "description"},
                                {kBinOne, 0, kPresent, "short", "description"},
                                {COMM_DIR_FUNC_END_OPERATION},
                                {kNext, COMM_DIR_SVC_UNKNOWN_OPERATION},
                                {COMM_DIR_FUNC_END_OPERATION, COMM_DIR_SVC_UNKNOWN_OPERATION},
                                other({kNext}),
                            });
  const UINT operations[] = {open_reader(), open_reader()};
  for (std::size_t i = 0; i < steps.size(); ++i) {
    const Step& step = steps[i];
    COMM_DIR_VALUE_REQUEST value{{}, operations[step.other], {}, {}, step.index};
    copy_field(value.attribute, step.attribute);
    const UINT tag = static_cast<UINT>(i);
    const COMM_DIR_SEARCH_REQUEST search = search_record(step.search, operations[step.other], step.size_limit);
    send(step.id == COMM_DIR_FUNC_SEARCH ? request(step.id, tag, search) : request(step.id, tag, value));
  }
  for (std::size_t i = 0; i < steps.size(); ++i) {
    SCOPED_TRACE("step " + std::to_string(i));
    const Reply reply = wire->wait(static_cast<UINT>(i));
    EXPECT_EQ(reply.result(), steps[i].result) << std::hex << reply.result();
    EXPECT_EQ(reply.word(), steps[i].word);
    std::string carried = steps[i].data;
    const UINT size = static_cast<UINT>(carried.size());
    if (steps[i].id == kBinOne && size > 0) carried.insert(0, reinterpret_cast<const char*>(&size), sizeof size);
    if (steps[i].id != kBinOne && size > 0) carried += '\0';
    const std::string got = reply.text().substr(COMM_DIR_REPLY_DATA_OFFSET);
    EXPECT_TRUE(got.compare(0, carried.size(), carried) == 0) << "not the data: " << got.substr(0, 40);
    EXPECT_EQ(got.find_first_not_of('\0', carried.size()), std::string::npos) << "bytes behind the data";
  }

  ASSERT_EQ(start_daemon({"--idle-timeout=1", "--reclaim-interval=250"}), "");
  const UINT busy = open_reader(), idle = open_reader();
  const Search people{kPeople, "(uid=*)", "uid"};
  ASSERT_EQ(call(COMM_DIR_FUNC_SEARCH, search_record(people, idle)).result(), 0);
  for (int i = 0; i < 8; ++i, std::this_thread::sleep_for(ms(400))) {  // about 3 s of requests on one of them
    EXPECT_EQ(call(COMM_DIR_FUNC_SEARCH, search_record(people, busy)).result(), 0);
  }
  const RETCODE ended = COMM_DIR_SVC_UNKNOWN_OPERATION;
  EXPECT_EQ(call(COMM_DIR_FUNC_GET_FIRST_ENTRY, COMM_DIR_OPERATION_REQUEST{{}, idle}).result(), ended);
  EXPECT_EQ(call(COMM_DIR_FUNC_GET_FIRST_ENTRY, COMM_DIR_OPERATION_REQUEST{{}, busy}).result(), 0);
}

// Ready once its endpoint and workers are up, then pings every 200 ms while
// its threads make progress, and no more once a worker hangs (a libldap call
// that never returns, preloaded); none when the pings are asked of another
// process. systemd's notification socket is a path, or ('@') a name of the
// abstract namespace.
TEST_F(DaemonTest, TellsSystemdItIsReadyAndPingsWhileItMakesProgress) {
  const std::string folder = make_private_folder("commdir-notify");
  for (const char* other_pid : {static_cast<const char*>(nullptr), "1"}) {
    SCOPED_TRACE(other_pid != nullptr ? "an abstract name, pings asked of another process" : "a path");
    const std::string name = other_pid != nullptr ? "@commdir-notify-" + std::to_string(getpid()) : folder + "/notify";
    const int fd = unix_socket();
    sockaddr_un address = unix_address(name);
    address.sun_path[0] = name[0] == '@' ? '\0' : name[0];
    bind(fd, reinterpret_cast<sockaddr*>(&address),
         static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name.size()));
    const timeval patience{0, 100000};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience);
    const auto next = [&] {
      char message[4096];
      const ssize_t got = recv(fd, message, sizeof message, 0);
      return got > 0 ? std::string(message, static_cast<std::size_t>(got)) : "";
    };
    const auto pings_within = [&](ms span) {
      int pings = 0;
      for (const auto end = Clock::now() + span; Clock::now() < end;) pings += next() == "WATCHDOG=1";
      return pings;
    };
    Environment env = {{"NOTIFY_SOCKET", name},
                       {"WATCHDOG_USEC", "400000"},
                       {"LD_PRELOAD", COMMDIR_DAEMON_FAULTS},
                       {"ASAN_OPTIONS", "verify_asan_link_order=0"}};
    if (other_pid != nullptr) env.emplace_back("WATCHDOG_PID", other_pid);
    ASSERT_EQ(start_daemon({"--hung-after=1"}, env), "");
    EXPECT_TRUE(eventually([&] { return next().rfind("READY=1\n", 0) == 0; }, ms(5000)));
    EXPECT_EQ(pings_within(ms(1500)) >= 3, other_pid == nullptr);
    if (other_pid == nullptr) {
      send(request(COMM_DIR_FUNC_START_OPERATION, 1,
                   connecting<COMM_DIR_START_OPERATION_REQUEST>(connect_to("ldap://hang.invalid/"))));
      EXPECT_TRUE(eventually([&] { return next().find("STATUS=not pinging the watchdog: worker") == 0; })) << log();
      EXPECT_EQ(pings_within(ms(1500)), 0);
      kill(daemon->pid(), SIGKILL);  // its hung worker would hold a clean stop for good
      daemon.reset();
    }
    close(fd);
  }
  std::filesystem::remove_all(folder);
}

}  // namespace
}  // namespace commdir_testing
