// The process-wide request client: sends a request envelope to a server and
// blocks the calling thread until its own reply has come back to this
// process's reply server ("utcp:DIR_CS_" and 7 characters of the process
// name), with any number of requests outstanding at once.
#ifndef COMMDIR_IPC_COMM_DIR_IPC_MULTI_CLIENT_H_
#define COMMDIR_IPC_COMM_DIR_IPC_MULTI_CLIENT_H_

#include <atomic>

#include "commdir/comm_dir_types.h"
#include "ipc/comm_dir_ipc_envelope.h"
#include "ipc/comm_dir_platform_lock.h"
#include "platform/emw_osw.h"

namespace velmarosta {

// One IPC client connection, filled by emwGENIpcCreateClient. The library
// reads only the first word, the platform's handle; the rest is the
// platform's.
struct COMM_DIR_MULTI_IPC_CLNT {
  UINT handle;
  UINT platform_reserved[7];
};

// Thread-safe: get_instance publishes the object with a release store that
// readers take with an acquire load, and reply_server_name_ is written only
// before that publication. create_client, call_client and destroy_client may
// run on any number of threads at once: sending is serialised by the platform
// mutex client_send_sem_id_, and each call's reply record and event are its
// own, reached by dispatch_client only through the reply table (see the .cc).
class COMM_DIR_API comm_dir_ipc_multi_client {
 public:
  // The singleton, created (and initialised) on first use. Null only when
  // memory for it runs out (traced).
  static comm_dir_ipc_multi_client* get_instance();

  comm_dir_ipc_multi_client();   // runs initialize(), ignoring its result
  ~comm_dir_ipc_multi_client();  // runs finalize()

  RETCODE initialize();
  RETCODE finalize();

  RETCODE create_client(const char* client_name, const char* server_name, int arg3, int arg4, int client_id,
                        COMM_DIR_MULTI_IPC_CLNT& clnt);
  RETCODE destroy_client(const COMM_DIR_MULTI_IPC_CLNT& clnt);
  // Sends `sndsize` bytes of `sndbuf` as the payload of a request of `type`
  // and waits for the reply; copies `rcvsize` bytes of the reply payload to
  // `rcvbuf`. 0 once the reply is in `rcvbuf`, -1 on a transport failure.
  // A size beyond the envelope's payload (0 to 49,156 bytes) is refused with
  // -1 rather than overrunning; so is every call after a failed initialize,
  // since no reply could reach this process. `rcvlen` is neither read nor
  // written.
  RETCODE call_client(const COMM_DIR_MULTI_IPC_CLNT& clnt, int type, int arg3, long arg4, char* sndbuf, int sndsize,
                      char* rcvbuf, int rcvsize, int* rcvlen, unsigned long timeout);

  // Dispatch function of the reply server.
  static RETCODE dispatch_client(char* rcvbuf, char* sndbuf, int* size);

 private:
  char reply_server_name_[COMM_DIR_IPC_NAME_SIZE];

  static std::atomic<comm_dir_ipc_multi_client*> s_instance_;
  // Created under an OSW_Thread_Guard, but tested before it is taken, hence
  // atomic (acquire/release like s_instance_).
  static std::atomic<OSW_Mutex_Semaphore*> s_mtx_;
  static UINT client_sem_id_;                          // created by initialize, never taken
  static comm_dir_platform_mutex client_send_sem_id_;  // held while one request goes out
  // Set by a fully successful initialize (the reply server runs), cleared by
  // finalize; call_client refuses at once while it is false.
  static std::atomic<bool> s_ready_;
};

}  // namespace velmarosta

#endif  // COMMDIR_IPC_COMM_DIR_IPC_MULTI_CLIENT_H_
