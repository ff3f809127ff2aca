// libcommdir: read an LDAP-style address book through the directory service.
//
// USING THE LIBRARY
//
// An application reaches everything through one object per process:
//
//   velmarosta::comm_dir_facade* dir = velmarosta::comm_dir_facade::comm_dir_get_instance();
//
// A walk over a directory is:
//
//   UINT op = 0;
//   dir->start_operation(connect, &bind, &op);          // connect (and bind)
//   dir->search(condition, size_limit, time_limit);    // see "search" below
//   for (RETCODE e = dir->get_first_entry(op); e == 0; e = dir->get_next_entry(op)) {
//     CHAR* name = nullptr;
//     for (RETCODE a = dir->get_first_attribute(op, name); a == 0 && name != nullptr;
//          a = dir->get_next_attribute(op, name)) {
//       UINT count = 0;
//       CHAR** values = nullptr;
//       if (dir->get_value_string(op, name, count, values) == 0) { ... values[0..count-1] ... }
//     }
//   }
//   dir->end_operation(op);                               // frees every result of `op`
//
// RESULTS
//
// Every call returns a RETCODE: 0 for success; COMM_DIR_ERR for the facade's
// own refusal (a NULL argument it needs, an operation id it does not hold)
// and for a failure of its table of operations; COMM_DIR_ERR_NO_MEMORY when
// the library ran out of memory for a result; COMM_DIR_ERR_BAD_REPLY when a
// reply broke the limits of the messages (nothing of it is handed out);
// -1 for a failure of the IPC transport (the directory service was not
// reached, or its reply could not be delivered); any other value is the
// directory service's result code, passed up unchanged. Failures are also
// written as one trace line each through the platform's trace service.
//
// OWNERSHIP: THE APPLICATION NEVER FREES A RESULT
//
// The attribute names and value lists that the facade hands out belong to
// the library. Each is held for its operation id and stays valid until:
//   - attribute name (get_first_attribute / get_next_attribute): the next
//     get_first_attribute or get_next_attribute on the same operation id
//     that the service answers (also when it answers with a failure code),
//     a successful end_operation on the id, or the destruction of the facade;
//   - string value list (get_value_string), with its strings: the next
//     successful get_value_string on the same id, a successful end_operation,
//     or the destruction of the facade;
//   - binary value list (get_value_binary), with its values: the same, for
//     get_value_binary.
// The three are independent: a new attribute name does not free the lists
// fetched for the previous attribute, and a string list does not free the
// binary list. A failed call frees nothing handed out before, except an
// attribute call that the service answered (its answer replaces the name).
// Copy what must live longer. Counts, operation ids and the connection test
// record are the caller's own data.
//
// THREADS
//
// comm_dir_get_instance() may be called from any thread at any time. Calls on
// different operation ids may run at the same time on different threads.
// The calls of one operation id must not overlap: the results of an
// operation are replaced and freed outside any lock, so make the calls of
// one operation from one thread at a time. check_connection may run on any
// thread beside anything else.
//
// THE PLATFORM
//
// The library calls the device platform's operating-system wrapper, message
// IPC and trace service (emwOSW*, emwGENIpc*, emwGENTrcPrintf) and names no
// library for them: the process provides them. On the device that is the
// platform's own library. On a Linux host the POSIX platform libcommdir_posix
// is installed beside the library, and `pkg-config --cflags --libs commdir`
// (or find_package(commdir) and the target commdir::commdir) links both. Its
// endpoints are Unix datagram sockets in $COMM_DIR_IPC_DIR; unset, in
// $XDG_RUNTIME_DIR/commdir when that is the user's private runtime folder,
// else in /tmp/commdir-<euid>. It trusts a directory service of its own user
// or root, and of the user that $COMM_DIR_SERVICE_USER names (the packaged
// daemon runs as commdir in /run/commdir: COMM_DIR_IPC_DIR=/run/commdir and
// COMM_DIR_SERVICE_USER=commdir). Its trace lines go where $COMM_DIR_TRACE
// says (unset: standard error; "off"; or a file).
//
// ENDPOINT NAMES: ANY NUMBER OF PROCESSES OF ONE NAME
//
// A process's endpoints are named after its process name, as the platform's
// emwOSWGetProcessName gives it: the reply server "utcp:DIR_CS_" and the
// name's first seven characters, the callback endpoint "utcp:DIR_SVR_" and
// its first five. The POSIX platform gives each process a name whose two
// endpoints no live process holds, and holds them until the library starts
// them: its own name (as ps shows it, 15 characters at most; a character
// outside A-Z a-z 0-9 _ . - written as _) when it can bind both in the
// folder, else the first variant that it can bind: the first three
// characters, a two-character count (01, 02, ... zz) and the rest from the
// sixth character on ("comm-dir" becomes "com01dir", "com02dir", ...). So
// two copies of one program, or phonebook-ui and phonebook-sync, run at once
// with endpoints of their own. The name is chosen once per process (again in
// a forked child that uses the library). A process that ends by exit() or by
// returning from main removes its endpoints' files; one that ends by _exit
// or on a signal it handles calls commdir_posix_ipc_remove_own_files() first
// (platform/posix/commdir_posix_ipc.h). docs/ipc.md, "A process's endpoint
// names", has the whole rule.
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
// Applications do not use it; it is public because the exported result store
// takes it.
struct comm_dir_info {
  char* attr_name;               // from get_first/next_attribute, or NULL
  char** str_values;             // from get_value_string, NULL-terminated, or NULL
  COMM_DIR_BERVAL** bin_values;  // from get_value_binary, NULL-terminated, or NULL
  // Entries of str_values and bin_values. An entry for which the service
  // delivered no value is NULL, so the list's first NULL need not be its end;
  // freeing walks this many entries (and then on to the first NULL), so that
  // nothing behind such a gap is lost. 0 in a record that only ends in NULL.
  UINT str_count;
  UINT bin_count;
};
typedef comm_dir_info COMM_DIR_INFO;

// The process's directory facade. Thread-safety: see THREADS above; the
// facade holds no lock of its own across a call, its result store guards
// its table of operations, and svr_name_ is only read after construction.
class COMM_DIR_API comm_dir_facade {
 public:
  // The process's facade, built on the first call together with its
  // callback endpoint "utcp:DIR_SVR_" + the first five characters of the
  // process name (see ENDPOINT NAMES). Any thread may call it at any time;
  // every call returns the same object, which lives until the process ends.
  // NULL only when the process ran out of memory while building it (a later
  // call tries again).
  static comm_dir_facade* comm_dir_get_instance();

  // Used only by comm_dir_get_instance(). Destroying the facade frees every
  // result still held and stops the callback endpoint; the library never
  // does so, and after it comm_dir_get_instance() must not be called again.
  comm_dir_facade();
  ~comm_dir_facade();
  comm_dir_facade(const comm_dir_facade&) = delete;
  comm_dir_facade& operator=(const comm_dir_facade&) = delete;

  // Connection test. Fill `info` (connect and bind records, and for
  // COMM_DIR_TEST_MODE_CALLBACK the word of a registered callback object);
  // the facade writes this process's callback server name into
  // info.callback_server_name (bytes 1912 to 1927, zero-padded), whatever
  // was there. When the service answered, `info` is replaced by its answer,
  // also when the result is a failure code; after a transport failure (-1)
  // it is as sent. The answer is the whole record, the bind password
  // included, and our directory service answers with the password zeroed:
  // a password goes to the service and the LDAP server and never comes back,
  // so after the call the record no longer holds it. Fill it in again for
  // another test.
  RETCODE check_connection(COMM_DIR_TEST_MODE mode, COMM_DIR_TEST_CONNECTION_INFO& info);

  // Opens an operation: connects as `connect` says and binds with `bind`
  // (NULL: no bind). On 0, *operation_id is the service's id for it, to be
  // passed to every later call and finally to end_operation. NULL
  // operation_id: COMM_DIR_ERR, nothing sent. When the service answered
  // with a failure code, *operation_id holds the id from its answer.
  //
  // COMM_DIR_ERR after the service opened the operation means the library
  // could not record it: the operation stays open at the service and every
  // call that needs the record (end_operation included) refuses the id.
  // (The store may fail only in releasing its lock after it took the new
  // record; the facade then asks the store whether it holds the record and
  // frees it only once the store has dropped the entry again, so nothing
  // the store holds is ever freed.) If the service hands out an id that is
  // still open here, the store keeps the record it holds, with the results
  // held for it; the facade sees that the store holds another record than
  // the new one and frees the new one. COMM_DIR_ERR_NO_MEMORY: nothing was
  // sent.
  RETCODE start_operation(const COMM_DIR_CONNECT_INFO& connect, const COMM_DIR_BIND_INFO* bind, UINT* operation_id);

  // Runs a search at the directory service. The condition, the size limit
  // and the time limit go to the service as given (see
  // COMM_DIR_SEARCH_CONDITION); `time_limit` is not written back. The
  // facade keeps nothing for a search.
  RETCODE search(const COMM_DIR_SEARCH_CONDITION& condition, UINT size_limit, timeval& time_limit);

  // Moves to the first / next entry of the operation's search result.
  // Forwarded for any id; the result says when there is no further entry.
  RETCODE get_first_entry(UINT operation_id);
  RETCODE get_next_entry(UINT operation_id);

  // The name of the first / next attribute of the current entry, written to
  // `attribute` (NULL when the service's answer carries no name, e.g. after
  // the last attribute). The name is the library's (see OWNERSHIP): the
  // previous name of this operation is freed when the service answers,
  // whatever its result code. When no answer came back (a transport
  // failure), the previous name stays held and valid and `attribute` is
  // left as it was. An id without an open
  // operation: COMM_DIR_ERR, nothing sent, nothing changed.
  RETCODE get_first_attribute(UINT operation_id, CHAR*& attribute);
  RETCODE get_next_attribute(UINT operation_id, CHAR*& attribute);

  // All values of the attribute `attribute` of the current entry: `count`
  // and a list of count entries followed by a NULL; an entry is NULL where
  // the service delivered no value. On 0 the list (NULL when count is 0)
  // replaces and frees the previous list of the same kind for this
  // operation. On failure the previous list stays held and valid; `count`
  // may hold the count that the service reported, `values` may have been
  // set to NULL, and neither is the library's to free. NULL attribute:
  // COMM_DIR_ERR (checked before the operation id); an id without an open
  // operation: COMM_DIR_ERR; nothing sent in either case.
  RETCODE get_value_string(UINT operation_id, CHAR* attribute, UINT& count, CHAR**& values);
  RETCODE get_value_binary(UINT operation_id, CHAR* attribute, UINT& count, COMM_DIR_BERVAL**& values);

  // Not served: each returns COMM_DIR_ERR at once, sends nothing, writes no
  // trace and leaves its out-parameters alone. Use get_value_string and
  // get_value_binary.
  RETCODE get_value_string_cnt(UINT operation_id, CHAR* attribute, UINT& count);
  RETCODE get_value_string_len(UINT operation_id, CHAR* attribute, UINT index, UINT& length);
  RETCODE get_value_string_one(UINT operation_id, CHAR* attribute, UINT index, CHAR*& value);
  RETCODE get_value_binary_cnt(UINT operation_id, CHAR* attribute, UINT& count);
  RETCODE get_value_binary_len(UINT operation_id, CHAR* attribute, UINT index, UINT& length);
  RETCODE get_value_binary_one(UINT operation_id, CHAR* attribute, UINT index, COMM_DIR_BERVAL*& value);

  // Ends the operation at the service. On 0 every result handed out for the
  // id is freed and the id is no longer open here. When the service refuses,
  // its code is returned, everything stays valid and the call may be
  // repeated. An id without an open operation: COMM_DIR_ERR, nothing sent.
  // COMM_DIR_ERR after the service ended the operation means the library
  // failed to drop its record of it, and then nothing is freed: when the
  // record is still held (the usual case) its results stay valid until the
  // facade is destroyed; when the store dropped it before failing, they are
  // never freed.
  RETCODE end_operation(UINT operation_id);

  // Asks the service to free the operation's search result. Forwarded for
  // any id; results held by the library are not touched.
  RETCODE free_msg(UINT operation_id);

 private:
  comm_dir_data_collector* collector_;     // owned; first built, first destroyed
  comm_dir_facade_client* client_;         // owned; stateless
  comm_dir_operation_server* ope_server_;  // owned; runs the callback endpoint
  char* svr_name_;                         // owned 17-byte buffer; read-only once built

  // Published with release, tested with acquire; never reset.
  static std::atomic<comm_dir_facade*> s_instance_;
  // Creation mutex, made once under an OSW_Thread_Guard; never freed.
  static std::atomic<OSW_Mutex_Semaphore*> s_mtx_;
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
// let an exception escape (one that does is caught and traced). Unregistering
// another object waits for that object's callbacks under way, so two
// callbacks that unregister each other's objects wait for each other forever.
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
// object. Registering an object again returns the same word. The word is a
// random one from the kernel on every host, never the object's address
// (anyone who may send the callback endpoint a request could guess an
// address), never 0 and never that of another registered object. A request
// whose word names no registered object calls nothing and is answered like
// any other.
COMM_DIR_API UINT comm_dir_register_callback(comm_dir_callback* object);
// Unregisters the object named by `word`. When it returns, the object is
// never called again, also by a callback already under way. 0, or
// COMM_DIR_ERR for a word that names no registered object.
COMM_DIR_API RETCODE comm_dir_unregister_callback(UINT word);

}  // namespace velmarosta

#endif  // COMMDIR_COMM_DIR_FACADE_H_
