// Reading and writing a 32-bit word of a message at a byte offset, in the
// host's order, as every peer on the device writes them. A word of a message
// need not be aligned, so it is copied, never dereferenced in place. The
// library, the platform and the daemon read and write wire words only so.
#ifndef COMMDIR_PLATFORM_COMMDIR_WIRE_WORDS_H_
#define COMMDIR_PLATFORM_COMMDIR_WIRE_WORDS_H_

#include <cstddef>
#include <cstring>

#include "commdir/comm_dir_types.h"

namespace commdir_wire {

inline UINT read_word(const char* message, std::size_t offset) {
  UINT word;
  std::memcpy(&word, message + offset, sizeof word);
  return word;
}

inline void write_word(char* message, std::size_t offset, UINT word) {
  std::memcpy(message + offset, &word, sizeof word);
}

}  // namespace commdir_wire

#endif  // COMMDIR_PLATFORM_COMMDIR_WIRE_WORDS_H_
