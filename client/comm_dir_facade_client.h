// Turns each directory call of the facade into request/reply exchanges with
// the directory service on "utcp:COMM_DIR_SRV". Stateless: any number of
// threads may call it at once.
#ifndef COMMDIR_CLIENT_COMM_DIR_FACADE_CLIENT_H_
#define COMMDIR_CLIENT_COMM_DIR_FACADE_CLIENT_H_

#include <sys/time.h>

#include "commdir/comm_dir_records.h"
#include "commdir/comm_dir_types.h"

namespace velmarosta {

class comm_dir_facade_client {
 public:
  RETCODE check_connection(COMM_DIR_TEST_MODE mode, COMM_DIR_TEST_CONNECTION_INFO& info);
  RETCODE start_operation(const COMM_DIR_CONNECT_INFO& connect, const COMM_DIR_BIND_INFO* bind,
                          UINT* operation_id);
  RETCODE search(const COMM_DIR_SEARCH_CONDITION& condition, UINT size_limit, timeval& time_limit);
  RETCODE get_first_attribute(UINT operation_id, CHAR*& attribute);
  RETCODE get_next_attribute(UINT operation_id, CHAR*& attribute);
  RETCODE get_value_string(UINT operation_id, CHAR* attribute, UINT& count, CHAR**& values);
  RETCODE get_value_binary(UINT operation_id, CHAR* attribute, UINT& count,
                           COMM_DIR_BERVAL**& values);
  RETCODE end_operation(UINT operation_id);
  RETCODE get_first_entry(UINT operation_id);
  RETCODE get_next_entry(UINT operation_id);
  RETCODE free_msg(UINT operation_id);
};

}  // namespace velmarosta

#endif  // COMMDIR_CLIENT_COMM_DIR_FACADE_CLIENT_H_
