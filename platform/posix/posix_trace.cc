// The trace service of the device platform: where the lines go
// (COMM_DIR_TRACE), how each is prefixed and kept on one line, and how
// often one format may write before its further lines are left out.
#include <sys/syscall.h>
#include <sys/types.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <unordered_map>

#include "platform/commdir_thread_safety.h"
#include "platform/emw_gen_trc.h"
#include "platform/emw_osw.h"
#include "platform/posix/commdir_posix_tasks.h"
#include "platform/posix/commdir_posix_text.h"
#include "platform/posix/commdir_posix_trace.h"
#include "platform/posix/posix_handle_table.h"
#include "platform/posix/posix_internal.h"

namespace commdir_posix {
namespace {

// --- trace -----------------------------------------------------------------

std::string TracePrefix(UINT module, UINT category, INT flag);
void AppendAsOneLine(std::string& line, const std::string& text);

// Where trace lines go: COMM_DIR_TRACE unset or empty is standard error,
// "off" is nowhere, anything else a file opened for appending. The variable
// is read at every line, so a process (a test) may redirect its trace.
// Thread-safe: mu_ covers the destination and each write, so a line is never
// written to a descriptor that another thread is closing.
class TraceSink {
 public:
  void write_line(const std::string& line) {
    commdir_sync::lock_guard lock(mu_);
    int fd = destination();
    if (fd < 0) return;
    std::size_t done = 0;
    while (done < line.size()) {
      ssize_t n = ::write(fd, line.data() + done, line.size() - done);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return;
      done += static_cast<std::size_t>(n);
    }
  }

  // Opens the file again by its name: a rotation may have moved it away.
  void reopen() {
    commdir_sync::lock_guard lock(mu_);
    opened_ = false;
    destination();
  }

 private:
  static constexpr int kOff = -1;

  int destination() REQUIRES(mu_) {
    const char* env = std::getenv("COMM_DIR_TRACE");
    std::string wanted = env == nullptr ? "" : env;
    if (opened_ && wanted == wanted_) return fd_;
    if (fd_ > STDERR_FILENO) ::close(fd_);
    wanted_ = wanted;
    opened_ = true;
    if (wanted.empty()) {
      fd_ = STDERR_FILENO;
    } else if (wanted == "off") {
      fd_ = kOff;
    } else {
      std::string refused;
      fd_ = OpenTraceFile(wanted, &refused);
      if (fd_ < 0) refuse(wanted, refused);
    }
    return fd_;
  }

  // A trace file that cannot be used: lines go to standard error (a lost
  // trace helps nobody), the first of them saying why.
  void refuse(const std::string& path, const std::string& why) REQUIRES(mu_) {
    fd_ = STDERR_FILENO;
    std::string line = TracePrefix(kPlatformTraceModule, kPlatformTraceCategory, kPlatformTraceRefusal);
    AppendAsOneLine(line, "trace file " + path + " refused: " + why + "; the trace goes to standard error");
    if (::write(fd_, line.data(), line.size()) < 0) {
      // Nowhere left to say it.
    }
  }

  commdir_sync::mutex mu_;
  std::string wanted_ GUARDED_BY(mu_);  // the value fd_ was chosen for
  bool opened_ GUARDED_BY(mu_) = false;
  int fd_ GUARDED_BY(mu_) = STDERR_FILENO;
};

TraceSink& Sink() {
  static auto* sink = new TraceSink;
  return *sink;
}

// How many lines of one format a process writes: a peer that sends garbage
// at will (every malformed datagram, forged reply or refused request is
// traced) must not fill the disk with one line repeated. Within a window of
// `seconds` at most `lines` lines of a format are written; the rest are
// counted, not even formatted. The first line left out says so, and the
// next line of that format written in a later window is preceded by how
// many were left out. A format is told by its address: every trace call in
// this tree passes a literal. COMM_DIR_TRACE_LIMIT="LINES/SECONDS" sets the
// budget (default 50/60); "0" or "off" writes every line.
// Thread-safe.
class TraceBudget {
 public:
  enum class Verdict { kWrite, kWriteAfterLeftOut, kFirstLeftOut, kLeftOut };

  // `left_out` receives, for kWriteAfterLeftOut, how many lines of this
  // format were left out since the last one written.
  Verdict admit(const char* format, std::size_t* left_out) {
    commdir_sync::lock_guard lock(mu_);
    read_settings();
    if (lines_ == 0) return Verdict::kWrite;
    const auto now = std::chrono::steady_clock::now();
    auto found = counts_.find(format);
    if (found == counts_.end()) {
      // Only a caller that builds formats at run time could come this far;
      // its lines are written unlimited rather than the table grow without bound.
      if (counts_.size() >= kMostFormats) return Verdict::kWrite;
      found = counts_.emplace(format, Count{now, 0, 0}).first;
    }
    Count& count = found->second;
    if (now - count.window_start >= window_) {
      *left_out = count.left_out;
      count = Count{now, 1, 0};
      return *left_out == 0 ? Verdict::kWrite : Verdict::kWriteAfterLeftOut;
    }
    if (count.written < lines_) {
      ++count.written;
      return Verdict::kWrite;
    }
    return ++count.left_out == 1 ? Verdict::kFirstLeftOut : Verdict::kLeftOut;
  }

  long window_seconds() {
    commdir_sync::lock_guard lock(mu_);
    return static_cast<long>(std::chrono::duration_cast<std::chrono::seconds>(window_).count());
  }

 private:
  static constexpr std::size_t kMostFormats = 4096;
  struct Count {
    std::chrono::steady_clock::time_point window_start;
    unsigned long written;
    std::size_t left_out;
  };

  // Read at every line, as COMM_DIR_TRACE is; parsed only when it changed.
  void read_settings() REQUIRES(mu_) {
    const char* env = std::getenv("COMM_DIR_TRACE_LIMIT");
    std::string wanted = env == nullptr ? "" : env;
    if (parsed_ && wanted == wanted_) return;
    wanted_ = wanted;
    parsed_ = true;
    unsigned long lines = kDefaultLines;
    unsigned long seconds = kDefaultSeconds;
    if (wanted == "0" || wanted == "off") {
      lines = 0;
    } else if (!wanted.empty()) {
      char slash = 0;
      char rest = 0;
      // An unreadable setting keeps the default, so a typo cannot turn the
      // limit off.
      if (std::sscanf(wanted.c_str(), "%lu%c%lu%c", &lines, &slash, &seconds, &rest) != 3 || slash != '/' ||
          lines == 0 || lines > kMostLines || seconds == 0 || seconds > kLongestWindow) {
        lines = kDefaultLines;
        seconds = kDefaultSeconds;
      }
    }
    lines_ = lines;
    window_ = std::chrono::seconds(seconds);
    counts_.clear();
  }

  static constexpr unsigned long kDefaultLines = 50;
  static constexpr unsigned long kDefaultSeconds = 60;
  static constexpr unsigned long kMostLines = 1000000;  // "-1/60" reads as a huge count, not as no limit
  static constexpr unsigned long kLongestWindow = 86400;

  commdir_sync::mutex mu_;
  std::string wanted_ GUARDED_BY(mu_);  // the setting lines_ and window_ come from
  bool parsed_ GUARDED_BY(mu_) = false;
  unsigned long lines_ GUARDED_BY(mu_) = kDefaultLines;  // 0: no limit
  std::chrono::steady_clock::duration window_ GUARDED_BY(mu_) = std::chrono::seconds(kDefaultSeconds);
  std::unordered_map<const char*, Count> counts_ GUARDED_BY(mu_);
};

TraceBudget& Budget() {
  static auto* budget = new TraceBudget;
  return *budget;
}

// True when COMM_DIR_TRACE is "off": a line is then neither formatted nor
// stamped, so that a process that turned its trace off pays next to nothing
// for it (a call that fails traces on every exchange).
bool TraceIsOff() {
  const char* env = std::getenv("COMM_DIR_TRACE");
  return env != nullptr && std::strcmp(env, "off") == 0;
}

// "2026-12-06T03:04:05.123456Z pid=12 tid=13 mod=0x3409 cat=258 flag=0 ".
std::string TracePrefix(UINT module, UINT category, INT flag) {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  tm utc{};
  gmtime_r(&now.tv_sec, &utc);
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%S", &utc);
  char prefix[160];
  std::snprintf(prefix, sizeof prefix, "%s.%06ldZ pid=%d tid=%ld mod=%#x cat=%u flag=%d ", stamp, now.tv_nsec / 1000,
                static_cast<int>(getpid()), static_cast<long>(syscall(SYS_gettid)), module, category, flag);
  return prefix;
}

// The whole formatted text, however long.
std::string FormatText(const char* format, va_list args) {
  char small[512];
  va_list copy;
  va_copy(copy, args);
  int needed = std::vsnprintf(small, sizeof small, format, copy);
  va_end(copy);
  if (needed < 0) return std::string("[bad trace format] ") + format;
  if (static_cast<std::size_t>(needed) < sizeof small) return std::string(small, needed);
  std::string text(static_cast<std::size_t>(needed) + 1, '\0');
  std::vsnprintf(&text[0], text.size(), format, args);
  text.resize(static_cast<std::size_t>(needed));
  return text;
}

// One line per call, ending with exactly one line break. Trace texts carry
// what peers sent (names, URIs, a server's diagnostic), so no byte of a text
// may start a line of its own or reach a terminal as a command
// (AppendVisible).
void AppendAsOneLine(std::string& line, const std::string& text) {
  std::string_view shown(text);
  if (!shown.empty() && shown.back() == '\n') shown.remove_suffix(1);
  AppendVisible(line, shown);
  line += '\n';
}

void WriteTraceLine(UINT module, UINT category, INT flag, const std::string& text) {
  std::string line = TracePrefix(module, category, flag);
  AppendAsOneLine(line, text);
  Sink().write_line(line);
}

}  // namespace
}  // namespace commdir_posix

extern "C" {

RETCODE emwGENTrcPrintf(UINT module, UINT category, INT flag, const char* format, ...) {
  if (format == nullptr) return EINVAL;
  if (commdir_posix::TraceIsOff()) return 0;
  try {
    using Verdict = commdir_posix::TraceBudget::Verdict;
    std::size_t left_out = 0;
    const Verdict verdict = commdir_posix::Budget().admit(format, &left_out);
    if (verdict == Verdict::kLeftOut) return 0;
    std::string text;
    if (verdict == Verdict::kFirstLeftOut) {
      text = "trace: leaving out further lines of this format for up to " +
             std::to_string(commdir_posix::Budget().window_seconds()) + " s: " + format;
    } else {
      if (verdict == Verdict::kWriteAfterLeftOut) {
        commdir_posix::WriteTraceLine(
            module, category, flag, "trace: left out " + std::to_string(left_out) + " lines of this format: " + format);
      }
      va_list args;
      va_start(args, format);
      text = commdir_posix::FormatText(format, args);
      va_end(args);
    }
    commdir_posix::WriteTraceLine(module, category, flag, text);
    return 0;
  } catch (...) {  // std::bad_alloc: say that a line was lost rather than lose it silently
    static const char kLost[] = "trace line lost: out of memory\n";
    ssize_t ignored = ::write(STDERR_FILENO, kLost, sizeof kLost - 1);
    (void)ignored;
    return ENOMEM;
  }
}

void commdir_posix_trace_reopen(void) { commdir_posix::Sink().reopen(); }

}  // extern "C"
