// The process's callback endpoint ("utcp:" followed by the name given, the
// facade's "DIR_SVR_" and 5 characters of the process name), served by the
// threaded request server with comm_dir_ope_req_ipc_dispatch.
#ifndef COMMDIR_SERVER_COMM_DIR_OPERATION_SERVER_H_
#define COMMDIR_SERVER_COMM_DIR_OPERATION_SERVER_H_

#include "commdir/comm_dir_types.h"
#include "platform/emw_gen_ipc.h"

namespace velmarosta {

class COMM_DIR_API comm_dir_operation_server {
 public:
  explicit comm_dir_operation_server(char* name);  // copies the name, starts the endpoint
  ~comm_dir_operation_server();                    // stops the endpoint, frees the name

  // Does nothing; kept for the platform's server interface.
  void dispatch(long arg, char* buffer, unsigned int size, gen_ipc_msghdr header);

 private:
  char* server_name_;
};

extern "C" COMM_DIR_API RETCODE comm_dir_ope_req_ipc_dispatch(char* rcvbuf, char* sndbuf, int* size);

}  // namespace velmarosta

#endif  // COMMDIR_SERVER_COMM_DIR_OPERATION_SERVER_H_
