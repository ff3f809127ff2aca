// The whole text of a file, for tests that read trace and log files; empty
// when it cannot be read.
#ifndef COMMDIR_TESTS_SUPPORT_READ_FILE_H_
#define COMMDIR_TESTS_SUPPORT_READ_FILE_H_

#include <fstream>
#include <sstream>
#include <string>

namespace commdir_testing {

inline std::string read_file(const std::string& path) {
  std::stringstream text;
  text << std::ifstream(path).rdbuf();
  return text.str();
}

}  // namespace commdir_testing

#endif  // COMMDIR_TESTS_SUPPORT_READ_FILE_H_
