// comm-dir's passwords (-W, -y).
//
// A password lives in as few places as it can and is cleared as soon as the
// bind record holds it, and the record once its call has returned: it is read
// into a buffer of fixed size (no copy left behind by a growing string, no
// stdio buffer), taken into one string, and cleared everywhere.
#ifndef COMMDIR_TOOLS_TOOL_PASSWORD_H_
#define COMMDIR_TOOLS_TOOL_PASSWORD_H_

#include <string>

#include "commdir/comm_dir_records.h"

namespace commdir_tools {

void wipe(std::string* secret);
void wipe(velmarosta::COMM_DIR_BIND_INFO* bind);

// Reads a line from the terminal without echo, as ldapsearch -W does.
// Unbuffered, so that no stdio buffer keeps what was typed.
bool prompt_password(std::string* password);

// Reads the password file of -y: its whole content (as far as a password
// can reach). False when it cannot be read.
bool read_password_file(const std::string& path, std::string* password);

}  // namespace commdir_tools

#endif  // COMMDIR_TOOLS_TOOL_PASSWORD_H_
