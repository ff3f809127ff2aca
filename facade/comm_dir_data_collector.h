// The facade's table of open operations: one comm_dir_info record per
// operation id, holding the results handed to the application so that the
// library can free them. Its map is guarded by one platform mutex; records
// are not (their contents belong to the calls of one operation at a time).
// While it lives the store frees no record; its destructor frees those it
// still holds, and must not run while another thread uses the store.
#ifndef COMMDIR_FACADE_COMM_DIR_DATA_COLLECTOR_H_
#define COMMDIR_FACADE_COMM_DIR_DATA_COLLECTOR_H_

#include <map>

#include "commdir/comm_dir_facade.h"
#include "commdir/comm_dir_types.h"
#include "ipc/comm_dir_platform_lock.h"

namespace velmarosta {

class COMM_DIR_API comm_dir_data_collector {
 public:
  comm_dir_data_collector();
  ~comm_dir_data_collector();
  comm_dir_data_collector(const comm_dir_data_collector&) = delete;
  comm_dir_data_collector& operator=(const comm_dir_data_collector&) = delete;

  RETCODE set_info_map(UINT operation_id, comm_dir_info* info);
  RETCODE get_info_map(UINT operation_id, comm_dir_info*& info);
  RETCODE unset_info_map(UINT operation_id);

 private:
  comm_dir_platform_mutex sem_id_;  // id 0 while there is no mutex
  std::map<UINT, comm_dir_info*> info_map_ GUARDED_BY(sem_id_);
};

}  // namespace velmarosta

#endif  // COMMDIR_FACADE_COMM_DIR_DATA_COLLECTOR_H_
