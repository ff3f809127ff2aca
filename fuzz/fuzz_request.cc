// What reads a request, fed the message that the POSIX platform delivers for
// a datagram of this process's user: the library's request server
// (dispatch_server, with the callback dispatch behind it, on a task that ends
// before the next input) and the directory service daemon's decoder.
//
// Input: byte 0 steers the datagram (bit 0: the request marker; bit 1: not
// yet replied; bit 2: a reply server that runs; bit 3: a request form's length
// word; bit 4: the word of a registered callback object; bit 5: function id 0,
// the connection test), the rest is the datagram.
// - dispatch_server refuses the message, or a task answers it with one
//   all-zero reply to the reply server it names, and calls the named callback
//   object only for a connection test of a registered one.
// - The decoder reads no byte beyond the message, and serves only a record
//   with nothing but zeros behind it.
// - The daemon reads the schemes of a URI list (a served record's, else the
//   datagram's text) as libldap's ldap_initialize does.
#include <ldap.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <sstream>

#include "client/comm_dir_messages.h"
#include "commdir/comm_dir_facade.h"
#include "fuzz/fuzz_delivery.h"
#include "ipc/comm_dir_ipc_multi_server.h"
#include "server/comm_dir_operation_server.h"
#include "service/comm_dir_failover.h"
#include "service/comm_dir_ldap_uris.h"
#include "service/comm_dir_request_decoder.h"

namespace {

using namespace velmarosta;
using namespace commdir_fuzz;
using Srv = comm_dir_ipc_multi_server;
constexpr char kReplyServer[] = "utcp:DIR_CS_fuzz";
constexpr std::size_t kHead = sizeof(COMM_DIR_IPC_ENVELOPE_HEAD);
// The envelope's replied, type and reply server name; the callback's argument and object words.
constexpr std::size_t kReplied = 76, kType = 80, kName = 84, kArgument = 196, kObject = 200;

// Every reply: replied set and nothing else in its payload.
std::atomic<int> g_replies{0};
RETCODE keep_reply(char* rcvbuf, char*, int* size) {
  const UINT length = read_word(rcvbuf, GEN_IPC_HDR_LENGTH_OFFSET);
  FUZZ_CHECK(length == COMM_DIR_IPC_REPLY_SIZE && read_word(rcvbuf, kReplied) == 1);
  for (UINT i = COMM_DIR_IPC_REPLY_PAYLOAD_OFFSET; i < length; ++i) FUZZ_CHECK(rcvbuf[i] == 0);
  ++g_replies;
  return *size = 0;
}

struct counting_callback : comm_dir_callback {
  void on_callback(UINT argument) override { ++calls, last_argument = argument; }
  std::atomic<int> calls{0};
  std::atomic<UINT> last_argument{0};
};

struct harness {
  harness() {
    FUZZ_CHECK(emwGENIpcStartServer(kReplyServer, COMM_DIR_IPC_ID_REPLY, COMM_DIR_IPC_STACK_SIZE, keep_reply) == 0);
    FUZZ_CHECK(object_word != 0);
  }
  comm_dir_operation_server server{const_cast<char*>("DIR_SVR_fuzz")};
  counting_callback callback;
  UINT object_word = comm_dir_register_callback(&callback);
  int replies = 0;

  void steer(std::uint8_t how, std::vector<char>& bytes) const {
    if (how & 1) put_word(bytes, GEN_IPC_HDR_KIND_OFFSET, GEN_IPC_KIND_REQUEST);
    if (how & 2) put_word(bytes, kReplied, 0);
    if (how & 4) std::strncpy(&bytes[kName], kReplyServer, COMM_DIR_IPC_NAME_SIZE);
    if (how & 8) put_word(bytes, GEN_IPC_HDR_LENGTH_OFFSET, COMM_DIR_IPC_REQUEST_SIZE);
    if ((how & 16) && bytes.size() >= kObject + 4) put_word(bytes, kObject, object_word);
    if (how & 32) put_word(bytes, kType, COMM_DIR_FUNC_CHECK_CONNECTION);
  }

  void dispatch(std::vector<char> message) {
    const int calls = callback.calls;
    std::vector<char> sndbuf(kMaxMessage, 0);
    int size_word = -1;
    const RETCODE rc = Srv::dispatch_server(message.data(), sndbuf.data(), &size_word);
    const bool acceptable =
        message.size() >= kHead && message.size() <= COMM_DIR_IPC_REQUEST_SIZE && std::memchr(&message[kName], 0, 32);
    FUZZ_CHECK(size_word == 0 && rc == (acceptable ? 0 : -1));
    FUZZ_CHECK(wait_until([] {  // the task has ended
      int index = -1;
      return Srv::thread_check_empty(index) == 0 && index == 0;
    }));
    // One reply to a request not yet replied to that names the running reply server.
    replies += acceptable && word_at(message, kReplied) == 0 && std::strcmp(&message[kName], kReplyServer) == 0;
    FUZZ_CHECK(wait_until([this] { return g_replies == replies; }));
    const bool calls_object = acceptable && word_at(message, kType) == COMM_DIR_FUNC_CHECK_CONNECTION &&
                              word_at(message, kObject) == object_word;
    FUZZ_CHECK(callback.calls == calls + (calls_object ? 1 : 0));
    FUZZ_CHECK(!calls_object || callback.last_argument == word_at(message, kArgument));
  }
};

// The schemes of the URIs that a handle of ldap_initialize holds for
// `word`, as it writes them back (LDAP_OPT_URI). False when it gives
// nothing to compare with: it refuses the word (the daemon then connects
// nowhere), or holds URIs that it cannot write back (a port out of range,
// say), or none.
bool initialized_schemes(const std::string& word, std::vector<std::string>* schemes) {
  LDAP* ld = nullptr;
  char* uris = nullptr;
  const bool told = ldap_initialize(&ld, word.c_str()) == LDAP_SUCCESS &&
                    ldap_get_option(ld, LDAP_OPT_URI, &uris) == 0 && uris != nullptr;
  std::istringstream each(told ? uris : "");
  for (std::string uri; each >> uri;) schemes->push_back(uri.substr(0, uri.find("://")));
  ldap_memfree(uris);
  if (ld != nullptr) ldap_unbind_ext(ld, nullptr, nullptr);
  return told;
}

void compare_uri_schemes(const std::string& list) {
  for (const std::string& word : comm_dir_failover::split(list)) {
    std::vector<std::string> held;
    if (initialized_schemes(word, &held)) FUZZ_CHECK(comm_dir_ldap_schemes(word) == held);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  harness& h = the_harness<harness>();
  const std::vector<char> datagram = steered(data, size, h);
  compare_uri_schemes(std::string(datagram.begin(), std::find(datagram.begin(), datagram.end(), '\0')));
  const std::vector<char> message = delivered(datagram);
  if (message.empty()) return 0;
  // The decoder, told how much of the message came in its datagram (the rest
  // are the platform's zeros), on the heap as the daemon's. What each verdict
  // carries is pinned by the decoder tables of tests/service/comm_dir_request_decoder_test.cc.
  auto request = std::make_unique<comm_dir_request>();
  const auto verdict = comm_dir_decode_request(message.data(), message.size(), request.get(), datagram.size());
  if (verdict == comm_dir_verdict::kServe) {
    const std::size_t record = kHead + comm_dir_request_size(request->function_id);
    FUZZ_CHECK(record <= message.size() &&
               std::all_of(message.begin() + record, message.end(), [](char byte) { return byte == 0; }));
  }
  if (verdict == comm_dir_verdict::kServe && request->function_id == COMM_DIR_FUNC_START_OPERATION)
    compare_uri_schemes(request->record.start_operation.connect.uri);
  h.dispatch(message);
  return 0;
}
