// libcommdir: read an LDAP-style address book through the directory service.
//
// An application reaches everything through one object per process:
//
//   velmarosta::comm_dir_facade* dir = velmarosta::comm_dir_facade::comm_dir_get_instance();
//
// Every call returns a RETCODE: 0 for success, COMM_DIR_ERR for the facade's
// own refusal, -1 for a failure of the IPC transport, and any other value as
// the directory service's result code, unchanged.
#ifndef COMMDIR_COMM_DIR_FACADE_H_
#define COMMDIR_COMM_DIR_FACADE_H_

#include <sys/time.h>

#include <atomic>

#include "commdir/comm_dir_records.h"
#include "commdir/comm_dir_types.h"

class OSW_Mutex_Semaphore;

namespace velmarosta {

class comm_dir_data_collector;
class comm_dir_facade_client;
class comm_dir_operation_server;

// What the library holds for one open operation: the results last handed to
// the application, which the library frees. Also known as COMM_DIR_INFO.
struct comm_dir_info {
  char* attr_name;               // from get_first/next_attribute, or NULL
  char** str_values;             // from get_value_string, NULL-terminated, or NULL
  COMM_DIR_BERVAL** bin_values;  // from get_value_binary, NULL-terminated, or NULL
};
typedef comm_dir_info COMM_DIR_INFO;

class COMM_DIR_API comm_dir_facade {
 public:
  // The process's facade, created on the first call. Any thread may call it.
  static comm_dir_facade* comm_dir_get_instance();

  comm_dir_facade();
  ~comm_dir_facade();
  comm_dir_facade(const comm_dir_facade&) = delete;
  comm_dir_facade& operator=(const comm_dir_facade&) = delete;

  RETCODE check_connection(COMM_DIR_TEST_MODE mode, COMM_DIR_TEST_CONNECTION_INFO& info);
  RETCODE start_operation(const COMM_DIR_CONNECT_INFO& connect, const COMM_DIR_BIND_INFO* bind,
                          UINT* operation_id);
  RETCODE search(const COMM_DIR_SEARCH_CONDITION& condition, UINT size_limit, timeval& time_limit);
  RETCODE get_first_entry(UINT operation_id);
  RETCODE get_next_entry(UINT operation_id);
  RETCODE get_first_attribute(UINT operation_id, CHAR*& attribute);
  RETCODE get_next_attribute(UINT operation_id, CHAR*& attribute);
  RETCODE get_value_string(UINT operation_id, CHAR* attribute, UINT& count, CHAR**& values);
  RETCODE get_value_binary(UINT operation_id, CHAR* attribute, UINT& count,
                           COMM_DIR_BERVAL**& values);
  RETCODE get_value_string_cnt(UINT operation_id, CHAR* attribute, UINT& count);
  RETCODE get_value_string_len(UINT operation_id, CHAR* attribute, UINT index, UINT& length);
  RETCODE get_value_string_one(UINT operation_id, CHAR* attribute, UINT index, CHAR*& value);
  RETCODE get_value_binary_cnt(UINT operation_id, CHAR* attribute, UINT& count);
  RETCODE get_value_binary_len(UINT operation_id, CHAR* attribute, UINT index, UINT& length);
  RETCODE get_value_binary_one(UINT operation_id, CHAR* attribute, UINT index,
                               COMM_DIR_BERVAL*& value);
  RETCODE end_operation(UINT operation_id);
  RETCODE free_msg(UINT operation_id);

 private:
  comm_dir_data_collector* collector_;
  comm_dir_facade_client* client_;
  comm_dir_operation_server* ope_server_;
  char* svr_name_;

  static std::atomic<comm_dir_facade*> s_instance_;
  static OSW_Mutex_Semaphore* s_mtx_;
};

// An object that the directory service can call back into, through the
// process's callback server. Derive from it and register the object to get
// the word that goes into a connection test record.
//
// Where on_callback runs: on a dispatch task of the callback server, not on
// any thread of the application. Up to 12 tasks run at once, so on_callback
// may run on several of them at the same time, and beside the application's
// own threads: guard whatever it shares with them.
//
// What it may do: short work, such as recording the argument and waking a
// thread of the application. The service's reply is sent only after
// on_callback has returned, and every task that it occupies is one of the 12
// that all callbacks share; a callback that blocks for long holds up the
// service and makes further callbacks be refused. It may call
// comm_dir_register_callback and comm_dir_unregister_callback (also for its
// own object: that call returns once the callbacks of the object on other
// tasks have ended, the running callback completes normally, and no later
// callback reaches the object). It must not wait for another callback to
// happen, must not destroy its own object before it returns, and must not
// let an exception escape (one that does is caught and traced).
//
// Lifetime: unregister the object before destroying it. Unregistering waits
// for the object's callbacks under way; afterwards none starts. The
// destructor unregisters an object that is still registered, so no callback
// can start on it once it is gone; but a callback that runs at that moment
// may meet the derived part already destroyed.
class COMM_DIR_API comm_dir_callback {
 public:
  virtual ~comm_dir_callback();
  // Called with the argument word of a callback (for a connection test: the
  // test's result code). It is the third entry of the object's virtual table
  // (after the two of the virtual destructor), which is the one the callback
  // server calls.
  virtual void on_callback(UINT argument) = 0;
};

// Registers `object` for callbacks and returns the word that names it in a
// request (COMM_DIR_TEST_CONNECTION_INFO::callback_object); 0 for a null
// object. Registering an object again returns the same word. On a 32-bit
// host the word is the object's address; on a wider one it is a handle. A
// request whose word names no registered object calls nothing.
COMM_DIR_API UINT comm_dir_register_callback(comm_dir_callback* object);
// Unregisters the object named by `word`. When it returns, the object is
// never called again, also by a callback already under way. 0, or
// COMM_DIR_ERR for a word that names no registered object.
COMM_DIR_API RETCODE comm_dir_unregister_callback(UINT word);

}  // namespace velmarosta

#endif  // COMMDIR_COMM_DIR_FACADE_H_
