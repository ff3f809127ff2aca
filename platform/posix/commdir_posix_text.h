// Text that a peer chose, as a person may see it: what the POSIX platform
// writes into trace lines, and what comm-dir prints of a server's words.
// libcommdir itself never calls it.
#ifndef COMMDIR_PLATFORM_POSIX_COMMDIR_POSIX_TEXT_H_
#define COMMDIR_PLATFORM_POSIX_COMMDIR_POSIX_TEXT_H_

#include <string>
#include <string_view>

namespace commdir_posix {

// Appends `text` to `out` so that it can neither start a line of its own nor
// send a terminal a command: a line break as "\n", every other control
// character (C0, DEL, and C1 in UTF-8) as "\xNN" per byte, the rest as it
// is.
void AppendVisible(std::string& out, std::string_view text);

// `text` as AppendVisible writes it.
std::string Visible(std::string_view text);

}  // namespace commdir_posix

#endif  // COMMDIR_PLATFORM_POSIX_COMMDIR_POSIX_TEXT_H_
