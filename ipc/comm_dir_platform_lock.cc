#include "ipc/comm_dir_platform_lock.h"

#include "ipc/comm_dir_trace.h"
#include "platform/emw_osw.h"

namespace velmarosta {
namespace {

constexpr INT kWaitForever = -1;
constexpr char kFatalRequest[] = "<Fatal>:<%s>(%d) : function failed : emwOSWRequestMutexSem ret=[%#lx]\n";
constexpr char kFatalRelease[] = "<Fatal>:<%s>(%d) : function failed : emwOSWReleaseMutexSem ret=[%#lx]\n";
constexpr char kErrorRequest[] = "[ERROR]emwOSWRequestMutexSem <%s>(%d) \n";
constexpr char kErrorRelease[] = "[ERROR]emwOSWReleaseMutexSem <%s>(%d) \n";

void trace_request_failed(comm_dir_lock_trace trace, const char* signature, int line, RETCODE rc) {
  if (trace == comm_dir_lock_trace::kError) {
    COMM_DIR_TRACE(0, kErrorRequest, signature, line);
  } else {
    COMM_DIR_TRACE(0, kFatalRequest, signature, line, trace_code(rc));
  }
}

void trace_release_failed(comm_dir_lock_trace trace, const char* signature, int line, RETCODE rc) {
  if (trace == comm_dir_lock_trace::kError) {
    COMM_DIR_TRACE(0, kErrorRelease, signature, line);
  } else {
    COMM_DIR_TRACE(0, kFatalRelease, signature, line, trace_code(rc));
  }
}

}  // namespace

comm_dir_platform_lock::comm_dir_platform_lock(comm_dir_platform_mutex& mutex, const char* signature, int line,
                                               comm_dir_lock_trace trace)
    : mutex_(mutex), signature_(signature), line_(line), trace_(trace), locked_(false) {
  const RETCODE rc = emwOSWRequestMutexSem(mutex_.id(), kWaitForever);
  if (rc != 0) {
    trace_request_failed(trace_, signature_, line_, rc);
    return;
  }
  locked_ = true;
}

comm_dir_platform_lock::~comm_dir_platform_lock() { (void)release(line_); }

RETCODE comm_dir_platform_lock::release(int line) {
  if (!locked_) return 0;
  locked_ = false;
  const RETCODE rc = emwOSWReleaseMutexSem(mutex_.id());
  if (rc != 0) trace_release_failed(trace_, signature_, line, rc);
  return rc;
}

}  // namespace velmarosta
