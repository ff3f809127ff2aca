// The callback endpoint and its dispatch function.
//
// Thread safety: the server object is built and destroyed by the facade under
// its creation lock and is not otherwise touched. comm_dir_ope_req_ipc_dispatch
// runs on the request server's dispatch tasks, up to 12 at once; it keeps no
// state of its own, the callback registry serialises what it shares, and
// send_reply serialises the replies.
#include "server/comm_dir_operation_server.h"

#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "client/comm_dir_messages.h"
#include "ipc/comm_dir_ipc_multi_server.h"
#include "ipc/comm_dir_trace.h"
#include "server/comm_dir_callback_registry.h"

namespace velmarosta {
namespace {

constexpr char kConstructorSig[] = "velmarosta::comm_dir_operation_server::comm_dir_operation_server(char*)";
constexpr char kDestructorSig[] = "velmarosta::comm_dir_operation_server::~comm_dir_operation_server()";
constexpr char kDispatchSig[] = "RETCODE velmarosta::comm_dir_ope_req_ipc_dispatch(char*, char*, int*)";

constexpr char kInfoServerName[] = "[Info ]<%s>server_name[%s](%d) \n";
constexpr char kError[] = "[ERROR]<%s>(%d) \n";

constexpr int kNameSize = 17;  // the name (at most 16 characters) and its NUL
// "utcp:" and the name, NUL included.
constexpr int kEndpointSize = sizeof COMM_DIR_IPC_PREFIX - 1 + kNameSize;

// Where a callback request keeps its two words, counted from the start of
// the envelope (the payload starts at byte 124).
constexpr int kArgumentOffset = COMM_DIR_IPC_REQUEST_PAYLOAD_OFFSET + 72;
constexpr int kObjectOffset = COMM_DIR_IPC_REQUEST_PAYLOAD_OFFSET + 76;
static_assert(kArgumentOffset == 196 && kObjectOffset == 200, "callback words");
static_assert(offsetof(COMM_DIR_CHECK_CONNECTION_REQUEST, test_mode) == kArgumentOffset - 124, "");
static_assert(offsetof(COMM_DIR_CHECK_CONNECTION_REQUEST, info) +
                      offsetof(COMM_DIR_TEST_CONNECTION_INFO, callback_object) ==
                  kObjectOffset - 124,
              "");

struct endpoint_name {
  char text[kEndpointSize] = {};
};

endpoint_name make_endpoint_name(const char* name) {
  endpoint_name endpoint;
  std::snprintf(endpoint.text, sizeof endpoint.text, "%s%s", COMM_DIR_IPC_PREFIX, name != nullptr ? name : "");
  return endpoint;
}

// Serves a function-id-0 request: calls the object that its word names.
void serve_callback(const char* rcvbuf) {
  UINT object_word = read_word(rcvbuf, kObjectOffset);
  if (object_word == 0) return;
  UINT argument = read_word(rcvbuf, kArgumentOffset);
  if (!comm_dir_invoke_callback(object_word, argument)) {
    COMM_DIR_TRACE(0, "[ERROR]<%s>(%d) : word=%#x names no callback object\n", kDispatchSig, __LINE__, object_word);
  }
}

}  // namespace

comm_dir_operation_server::comm_dir_operation_server(char* name) : server_name_(new (std::nothrow) char[kNameSize]()) {
  if (server_name_ != nullptr && name != nullptr) std::strncpy(server_name_, name, kNameSize - 1);
  endpoint_name endpoint = make_endpoint_name(server_name_);
  COMM_DIR_TRACE(0, kInfoServerName, kConstructorSig, endpoint.text, __LINE__);
  comm_dir_ipc_multi_server* server = comm_dir_ipc_multi_server::get_instance();
  if (server == nullptr || server->start_server(endpoint.text, COMM_DIR_IPC_ID_CALLBACK, COMM_DIR_IPC_STACK_SIZE,
                                                comm_dir_ope_req_ipc_dispatch) != 0) {
    COMM_DIR_TRACE(1, kError, kConstructorSig, __LINE__);
  }
}

comm_dir_operation_server::~comm_dir_operation_server() {
  endpoint_name endpoint = make_endpoint_name(server_name_);
  COMM_DIR_TRACE(0, kInfoServerName, kDestructorSig, endpoint.text, __LINE__);
  comm_dir_ipc_multi_server* server = comm_dir_ipc_multi_server::get_instance();
  if (server == nullptr || server->stop_server(endpoint.text) != 0) {
    COMM_DIR_TRACE(1, kError, kDestructorSig, __LINE__);
  }
  delete[] server_name_;
  server_name_ = nullptr;
}

void comm_dir_operation_server::dispatch(long /*arg*/, char* /*buffer*/, unsigned int /*size*/,
                                         gen_ipc_msghdr /*header*/) {}

// `rcvbuf` is the request server's private copy, always a whole request form,
// so both callback words can be read whatever length arrived.
extern "C" RETCODE comm_dir_ope_req_ipc_dispatch(char* rcvbuf, char* /*sndbuf*/, int* size) {
  if (rcvbuf == nullptr) {
    COMM_DIR_TRACE(0, kError, kDispatchSig, __LINE__);
    return -1;
  }
  comm_dir_ipc_multi_server* server = comm_dir_ipc_multi_server::get_instance();
  auto* request = reinterpret_cast<COMM_DIR_IPC_MULTI_REQUEST*>(rcvbuf);
  UINT type = 0;
  if (server != nullptr) (void)server->get_type(request, type);
  std::unique_ptr<COMM_DIR_REPLY> reply(new (std::nothrow) COMM_DIR_REPLY);
  if (reply == nullptr) {
    COMM_DIR_TRACE(0, kError, kDispatchSig, __LINE__);
    return -1;
  }
  std::memset(reply.get(), 0, sizeof *reply);
  if (type != COMM_DIR_FUNC_CHECK_CONNECTION) {
    COMM_DIR_TRACE(0, "[ERROR]<%s>(%d):: function id is noting.\n", kDispatchSig, __LINE__);
  } else {
    serve_callback(rcvbuf);
    reply->result = 0;
  }
  RETCODE ret =
      comm_dir_ipc_multi_server::send_reply(request, 0, reinterpret_cast<char*>(reply.get()), COMM_DIR_REPLY_SIZE);
  if (ret != 0) COMM_DIR_TRACE(0, kError, kDispatchSig, __LINE__);
  if (size != nullptr) *size = 0;
  return ret;
}

}  // namespace velmarosta
