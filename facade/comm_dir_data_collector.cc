#include "facade/comm_dir_data_collector.h"

#include <new>

#include "facade/comm_dir_info_holdings.h"
#include "ipc/comm_dir_platform_lock.h"
#include "ipc/comm_dir_trace.h"
#include "platform/emw_osw.h"

namespace velmarosta {
namespace {

constexpr char kSetSignature[] =
    "RETCODE velmarosta::comm_dir_data_collector::set_info_map(UINT, velmarosta::COMM_DIR_INFO*)";
constexpr char kGetSignature[] =
    "RETCODE velmarosta::comm_dir_data_collector::get_info_map(UINT, velmarosta::COMM_DIR_INFO*&)";
constexpr char kUnsetSignature[] = "RETCODE velmarosta::comm_dir_data_collector::unset_info_map(UINT)";
constexpr char kConstructorSignature[] = "velmarosta::comm_dir_data_collector::comm_dir_data_collector()";
constexpr char kDestructorSignature[] = "velmarosta::comm_dir_data_collector::~comm_dir_data_collector()";

}  // namespace

// Thread-safety: info_map_ is touched only under the platform mutex sem_id_
// (set, get and unset), except by the destructor, which by contract runs when
// no other thread uses the store. sem_id_'s id is written only by the
// constructor and the destructor. A failed request leaves the map alone; a
// failed release reports COMM_DIR_ERR although the work is done, because the
// caller must learn that the mutex is in trouble. Records are not guarded:
// their contents belong to the facade's caller of one operation at a time.
comm_dir_data_collector::comm_dir_data_collector() {
  if (emwOSWCreateMutexSem(sem_id_.id_slot(), 0, 1) != 0) {
    // The store still works as a map; every later call asks the platform for
    // the missing mutex and reports what the platform answers.
    COMM_DIR_TRACE(1, "[ERROR]emwOSWCreateMutexSem <%s>(%d) \n", kConstructorSignature, __LINE__);
  }
}

comm_dir_data_collector::~comm_dir_data_collector() {
  if (sem_id_.id() != 0 && emwOSWDeleteMutexSem(sem_id_.id_slot()) != 0) {
    COMM_DIR_TRACE(1, "[ERROR]emwOSWDeleteMutexSem <%s>(%d) \n", kDestructorSignature, __LINE__);
  }
  // std::map iterates in ascending key order, so records go in ascending id
  // order.
  for (auto& entry : info_map_) {
    comm_dir_info* info = entry.second;
    if (info == nullptr) continue;
    free_info_holdings(*info);
    delete info;
  }
  info_map_.clear();
}

RETCODE comm_dir_data_collector::set_info_map(UINT operation_id, comm_dir_info* info) {
  comm_dir_platform_lock lock(sem_id_, kSetSignature, __LINE__, comm_dir_lock_trace::kError);
  if (!lock.locked()) return COMM_DIR_ERR;
  const RETCODE result = [&]() REQUIRES(sem_id_) -> RETCODE {
    // emplace keeps an entry that is already there: the first record for an
    // id stays. Running out of memory for the node is the store's failure.
    try {
      info_map_.emplace(operation_id, info);
    } catch (const std::bad_alloc&) {
      return COMM_DIR_ERR;
    }
    return 0;
  }();
  return lock.release(__LINE__) == 0 ? result : COMM_DIR_ERR;
}

RETCODE comm_dir_data_collector::get_info_map(UINT operation_id, comm_dir_info*& info) {
  comm_dir_platform_lock lock(sem_id_, kGetSignature, __LINE__, comm_dir_lock_trace::kError);
  if (!lock.locked()) return COMM_DIR_ERR;
  const RETCODE result = [&]() REQUIRES(sem_id_) -> RETCODE {
    auto found = info_map_.find(operation_id);
    if (found == info_map_.end()) return COMM_DIR_ERR;
    info = found->second;
    return info != nullptr ? 0 : COMM_DIR_ERR;
  }();
  return lock.release(__LINE__) == 0 ? result : COMM_DIR_ERR;
}

RETCODE comm_dir_data_collector::unset_info_map(UINT operation_id) {
  comm_dir_platform_lock lock(sem_id_, kUnsetSignature, __LINE__, comm_dir_lock_trace::kError);
  if (!lock.locked()) return COMM_DIR_ERR;
  info_map_.erase(operation_id);
  return lock.release(__LINE__) == 0 ? 0 : COMM_DIR_ERR;
}

}  // namespace velmarosta
