// A mutex of the platform (an id of emwOSWCreateMutexSem) and the one way
// the library takes it: for a scope, without time limit, a failed request
// or release traced in the line its caller has always written.
//
// comm_dir_platform_mutex names the id for clang's lock analysis, so that a
// member can be GUARDED_BY it and a function REQUIRES it.
#ifndef COMMDIR_IPC_COMM_DIR_PLATFORM_LOCK_H_
#define COMMDIR_IPC_COMM_DIR_PLATFORM_LOCK_H_

#include "commdir/comm_dir_types.h"
#include "platform/commdir_thread_safety.h"

namespace velmarosta {

class CAPABILITY("mutex") comm_dir_platform_mutex {
 public:
  // 0 while there is no mutex.
  UINT id() const { return id_; }
  // Where emwOSWCreateMutexSem writes the id and emwOSWDeleteMutexSem clears it.
  UINT* id_slot() { return &id_; }

 private:
  UINT id_ = 0;
};

// The line that a failed request or release writes (flag 0).
enum class comm_dir_lock_trace {
  kFatal,  // "<Fatal>:<SIGNATURE>(LINE) : function failed : CALL ret=[CODE]"
  kError,  // "[ERROR]CALL <SIGNATURE>(LINE) "
};

class SCOPED_CAPABILITY comm_dir_platform_lock {
 public:
  // Requests `mutex`; a failure is traced for `signature` at `line`, and
  // locked() is false then.
  comm_dir_platform_lock(comm_dir_platform_mutex& mutex, const char* signature, int line,
                         comm_dir_lock_trace trace = comm_dir_lock_trace::kFatal) ACQUIRE(mutex);
  // Releases the mutex unless release() came first.
  ~comm_dir_platform_lock() RELEASE();
  comm_dir_platform_lock(const comm_dir_platform_lock&) = delete;
  comm_dir_platform_lock& operator=(const comm_dir_platform_lock&) = delete;

  bool locked() const { return locked_; }
  // Releases the mutex now, if it was taken: 0, or the platform's code,
  // traced at `line`.
  RETCODE release(int line) RELEASE();

 private:
  comm_dir_platform_mutex& mutex_;
  const char* const signature_;
  const int line_;
  const comm_dir_lock_trace trace_;
  bool locked_;
};

}  // namespace velmarosta

#endif  // COMMDIR_IPC_COMM_DIR_PLATFORM_LOCK_H_
