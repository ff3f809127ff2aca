#include "service/comm_dir_service_ipc.h"

#include <cerrno>
#include <cstring>
#include <new>

#include "platform/emw_gen_ipc.h"
#include "service/comm_dir_reply_delivery.h"
#include "service/comm_dir_service_trace.h"

namespace velmarosta {

RETCODE comm_dir_send(const char* client_name, const char* server_name, INT client_id, INT kind,
                             char* message, INT length, ULONG timeout_ms) {
  UINT handle = 0;
  RETCODE rc = emwGENIpcCreateClient(client_name, server_name, 0, 0, client_id, &handle);
  if (rc != 0) {
    SERVICE_TRACE("cannot reach %s: emwGENIpcCreateClient %#lx", server_name, trace_code(rc));
    return rc;
  }
  rc = emwGENIpcCallClient(handle, kind, 0, 0, message, length, nullptr, 0, nullptr, timeout_ms);
  if (rc != 0 && rc != ETIMEDOUT) {
    SERVICE_TRACE("cannot send to %s: emwGENIpcCallClient %#lx", server_name, trace_code(rc));
  }
  emwGENIpcDestroyClient(handle);
  return rc;
}

comm_dir_reply::comm_dir_reply(const COMM_DIR_IPC_ENVELOPE_HEAD& route)
    : envelope_(new (std::nothrow) COMM_DIR_IPC_MULTI_REPLY()) {
  if (envelope_ == nullptr) return;
  // Word for word as the request carried them; the name up to its NUL,
  // which the decoder has found inside the field.
  envelope_->head.event_sem_id = route.event_sem_id;
  envelope_->head.type = route.type;
  std::memcpy(envelope_->head.reply_server_name, route.reply_server_name,
              ::strnlen(route.reply_server_name, sizeof route.reply_server_name - 1) + 1);
  envelope_->head.reply_buffer = route.reply_buffer;
  envelope_->head.reply_buffer_size = route.reply_buffer_size;
  envelope_->head.replied = 1;
  body_ = new (envelope_->payload) COMM_DIR_REPLY();
}

void comm_dir_reply::set_result(RETCODE code) {
  body_->result = code;
  envelope_->result = code;
}

bool comm_dir_reply::send(comm_dir_reply_delivery& delivery) {
  return delivery.deliver(envelope_->head.reply_server_name, reinterpret_cast<char*>(envelope_.get()),
                          COMM_DIR_IPC_REPLY_SIZE);
}

}  // namespace velmarosta
