// Whom the daemon serves: its own user and root always, and the users and
// groups that its options allow (--allow-uid, --allow-group). The sender's
// uid and gid are the kernel's (SCM_CREDENTIALS: the real ids of the sending
// process), so that no one can claim another's.
//
// Thread-safe: read-only after construction.
#ifndef COMMDIR_SERVICE_COMM_DIR_ALLOW_LIST_H_
#define COMMDIR_SERVICE_COMM_DIR_ALLOW_LIST_H_

#include <unistd.h>

#include <algorithm>
#include <vector>

#include "service/comm_dir_request_decoder.h"
#include "service/comm_dir_service_options.h"

namespace velmarosta {

class comm_dir_allow_list {
 public:
  explicit comm_dir_allow_list(const comm_dir_service_options& options)
      : own_uid_(geteuid()), uids_(options.allowed_uids), gids_(options.allowed_gids) {}

  bool admits(const comm_dir_sender& sender) const {
    return sender.uid == own_uid_ || sender.uid == 0 || contains(uids_, sender.uid) || contains(gids_, sender.gid);
  }

 private:
  template <typename Id>
  static bool contains(const std::vector<Id>& ids, Id id) {
    return std::find(ids.begin(), ids.end(), id) != ids.end();
  }

  const uid_t own_uid_;
  const std::vector<uid_t> uids_;
  const std::vector<gid_t> gids_;
};

}  // namespace velmarosta

#endif  // COMMDIR_SERVICE_COMM_DIR_ALLOW_LIST_H_
