// The threaded request server: runs each request received on a server
// started through it on a task of its own (at most COMM_DIR_MAX_THREADS at
// once) and sends the reply back as a separate IPC call to the reply server
// named in the request. Every member is static.
#ifndef COMMDIR_IPC_COMM_DIR_IPC_MULTI_SERVER_H_
#define COMMDIR_IPC_COMM_DIR_IPC_MULTI_SERVER_H_

#include <atomic>

#include "commdir/comm_dir_types.h"
#include "ipc/comm_dir_ipc_envelope.h"
#include "ipc/comm_dir_platform_lock.h"
#include "platform/emw_gen_ipc.h"
#include "platform/emw_osw.h"

namespace velmarosta {

class COMM_DIR_API comm_dir_ipc_multi_server {
 public:
  static comm_dir_ipc_multi_server* get_instance();

  comm_dir_ipc_multi_server();   // runs initialize(), ignoring its result
  ~comm_dir_ipc_multi_server();  // runs finalize()

  RETCODE initialize();
  RETCODE finalize();

  RETCODE start_server(const char* server_name, int server_id, ULONG stack_size, PGEN_IPC_DISPATCH dispatch);
  RETCODE stop_server(const char* server_name);
  RETCODE get_type(COMM_DIR_IPC_MULTI_REQUEST* request, UINT& type);

  static RETCODE send_reply(COMM_DIR_IPC_MULTI_REQUEST* request, RETCODE result, char* data, int size);
  static RETCODE dispatch_server(char* rcvbuf, char* sndbuf, int* size);
  static void dispatch_thread(INT request, INT buffer, INT index);
  static RETCODE thread_check_empty(int& index);
  static RETCODE thread_regist(const CHAR* thread_name, INT index);
  static RETCODE thread_delete(INT index);

 private:
  static std::atomic<comm_dir_ipc_multi_server*> s_instance_;
  static OSW_Mutex_Semaphore* s_mtx_;
  static comm_dir_platform_mutex server_sem_id_;
  static comm_dir_platform_mutex server_send_sem_id_;
  static comm_dir_platform_mutex server_sem_dispatch_id;
  static std::atomic<PGEN_IPC_DISPATCH> dis_;
  static char thread_name_[COMM_DIR_MAX_THREADS][COMM_DIR_IPC_NAME_SIZE];
};

}  // namespace velmarosta

#endif  // COMMDIR_IPC_COMM_DIR_IPC_MULTI_SERVER_H_
