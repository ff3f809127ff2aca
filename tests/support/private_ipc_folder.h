// A folder of one test's own for the endpoints of the POSIX platform and
// its trace: made by mkdtemp under /tmp, named in COMM_DIR_IPC_DIR, and
// removed with everything in it by remove() or the destructor, after the
// test has stopped its servers.
#ifndef COMMDIR_TESTS_SUPPORT_PRIVATE_IPC_FOLDER_H_
#define COMMDIR_TESTS_SUPPORT_PRIVATE_IPC_FOLDER_H_

#include <stdlib.h>

#include <filesystem>
#include <string>
#include <system_error>

namespace commdir_testing {

class private_ipc_folder {
 public:
  enum class trace { kOff, kToFile };

  private_ipc_folder() = default;
  private_ipc_folder(const private_ipc_folder&) = delete;
  private_ipc_folder& operator=(const private_ipc_folder&) = delete;
  ~private_ipc_folder() { remove(); }

  // Makes "/tmp/commdir-TAG-XXXXXX" the IPC folder; traces go to
  // trace_path() or nowhere. False when the folder cannot be made.
  bool make(const std::string& tag, trace traces) {
    std::string name = "/tmp/commdir-" + tag + "-XXXXXX";
    if (::mkdtemp(name.data()) == nullptr) return false;
    path_ = name;
    ::setenv("COMM_DIR_IPC_DIR", path_.c_str(), 1);
    ::setenv("COMM_DIR_TRACE", traces == trace::kOff ? "off" : trace_path().c_str(), 1);
    return true;
  }

  void remove() {
    if (path_.empty()) return;
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
    path_.clear();
  }

  const std::string& path() const { return path_; }
  std::string trace_path() const { return path_ + "/trace.log"; }

 private:
  std::string path_;  // empty until made, and again once removed
};

}  // namespace commdir_testing

#endif  // COMMDIR_TESTS_SUPPORT_PRIVATE_IPC_FOLDER_H_
