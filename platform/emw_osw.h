// Operating-system wrapper of the device platform: mutex and event
// semaphores, tasks, the process name, and three scoped-lock classes. The
// library only declares these; the process provides them (on the device the
// platform's own library, here platform/posix or the fake in tests).
//
// Every function returns 0 for success and anything else for failure. Ids are
// opaque 32-bit words. A time-out of -1 waits without limit; the library
// passes no other.
#ifndef COMMDIR_PLATFORM_EMW_OSW_H_
#define COMMDIR_PLATFORM_EMW_OSW_H_

#include "commdir/comm_dir_types.h"

// Entry of a task: called on the new thread with the first three argument
// words of emwOSWCreateJoinTask. The library's only task entry takes three.
typedef void (*OSW_TASK_ENTRY)(INT, INT, INT);

extern "C" {

// Mutex semaphores. Create writes the new id to *sem_id (the library passes
// 0 and 1 as the further arguments). Request blocks until the calling thread
// owns the mutex; the owner releases it.
RETCODE emwOSWCreateMutexSem(UINT* sem_id, INT attributes, INT initial);
RETCODE emwOSWRequestMutexSem(UINT sem_id, INT timeout);
RETCODE emwOSWReleaseMutexSem(UINT sem_id);
RETCODE emwOSWDeleteMutexSem(UINT* sem_id);

// Event semaphores: one thread waits, another posts. A post before the wait
// is not lost: the wait then returns at once.
RETCODE emwOSWCreateEventSem(UINT* sem_id, INT attributes, INT initial);
RETCODE emwOSWResetEventSem(UINT sem_id);
RETCODE emwOSWPostEventSem(UINT sem_id);
RETCODE emwOSWWaitEventSem(UINT sem_id, INT timeout);
RETCODE emwOSWDeleteEventSem(UINT sem_id);

// Starts a thread named `name` with `stack_size` bytes of stack that calls
// entry(arg1, arg2, arg3). The further seven argument words are carried for
// compatibility and passed as 0 by the library. The task is never joined.
// The platform passes the argument words as given: what they carry where an
// address does not fit in 32 bits is the caller's choice.
RETCODE emwOSWCreateJoinTask(UINT* task_id, const char* name, INT priority, ULONG stack_size, OSW_TASK_ENTRY entry,
                             INT options, INT arg1, INT arg2, INT arg3, INT arg4, INT arg5, INT arg6, INT arg7,
                             INT arg8, INT arg9, INT arg10);

// Writes the process's name, NUL-terminated, at most 16 bytes with the NUL.
// The library names the process's endpoints after it. The POSIX platform
// writes the name under which the process serves them: its own, or a
// variant whose endpoints no other live process holds
// (posix/posix_process_name.cc).
RETCODE emwOSWGetProcessName(char* buffer);

}  // extern "C"

// A mutex created with `new OSW_Mutex_Semaphore(1)` by each singleton class.
class OSW_Mutex_Semaphore {
 public:
  explicit OSW_Mutex_Semaphore(int initial);
  ~OSW_Mutex_Semaphore();
  OSW_Mutex_Semaphore(const OSW_Mutex_Semaphore&) = delete;
  OSW_Mutex_Semaphore& operator=(const OSW_Mutex_Semaphore&) = delete;

  RETCODE lock();
  RETCODE unlock();

 private:
  void* impl_;
};

// Scoped lock: the constructor returns when the calling thread owns the
// mutex, the destructor releases it.
class OSW_Guard {
 public:
  explicit OSW_Guard(OSW_Mutex_Semaphore& mutex);
  ~OSW_Guard();
  OSW_Guard(const OSW_Guard&) = delete;
  OSW_Guard& operator=(const OSW_Guard&) = delete;

  bool locked() const;

 private:
  OSW_Mutex_Semaphore& mutex_;
  bool locked_;
};

// Scoped lock without arguments that excludes every other OSW_Thread_Guard of
// the process while it exists.
class OSW_Thread_Guard {
 public:
  OSW_Thread_Guard();
  ~OSW_Thread_Guard();
  OSW_Thread_Guard(const OSW_Thread_Guard&) = delete;
  OSW_Thread_Guard& operator=(const OSW_Thread_Guard&) = delete;
};

#endif  // COMMDIR_PLATFORM_EMW_OSW_H_
