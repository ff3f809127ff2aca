#include "tools/tool_password.h"

#include <fcntl.h>
#include <strings.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace commdir_tools {
namespace {

// The room for a password: one byte more than a bind record takes, so that a
// longer password is still refused as too long.
constexpr std::size_t kPasswordRoom = sizeof(velmarosta::COMM_DIR_BIND_INFO::password) + 1;

}  // namespace

void wipe(std::string* secret) {
  explicit_bzero(secret->data(), secret->size());
  secret->clear();
}

void wipe(velmarosta::COMM_DIR_BIND_INFO* bind) { explicit_bzero(bind->password, sizeof bind->password); }

bool prompt_password(std::string* password) {
  std::FILE* tty = std::fopen("/dev/tty", "r+e");
  if (tty == nullptr) return false;
  std::setvbuf(tty, nullptr, _IONBF, 0);
  std::fputs("Enter LDAP Password: ", tty);
  termios saved{};
  const bool have_terminal = ::tcgetattr(::fileno(tty), &saved) == 0;
  if (have_terminal) {
    termios quiet = saved;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    ::tcsetattr(::fileno(tty), TCSAFLUSH, &quiet);
  }
  char typed[kPasswordRoom];
  std::size_t length = 0;
  int c;
  while ((c = std::fgetc(tty)) != EOF && c != '\n') {
    if (length < sizeof typed) typed[length++] = static_cast<char>(c);
  }
  if (have_terminal) ::tcsetattr(::fileno(tty), TCSAFLUSH, &saved);
  std::fputc('\n', tty);
  std::fclose(tty);
  password->assign(typed, length);
  explicit_bzero(typed, sizeof typed);
  return true;
}

bool read_password_file(const std::string& path, std::string* password) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  char content[kPasswordRoom];
  std::size_t length = 0;
  ssize_t got = 0;
  while (length < sizeof content) {
    got = ::read(fd, content + length, sizeof content - length);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    length += static_cast<std::size_t>(got);
  }
  ::close(fd);
  if (got >= 0) password->assign(content, length);
  explicit_bzero(content, sizeof content);
  return got >= 0;
}

}  // namespace commdir_tools
