#include "service/comm_dir_status.h"

#include <time.h>

#include <cstdio>

#include "service/comm_dir_ldap_uris.h"

#ifndef COMMDIR_VERSION
#define COMMDIR_VERSION "unknown"
#endif

namespace velmarosta {
namespace {

using std::to_string;
using kept_count = comm_dir_reply_delivery::kept_count;

// Room kept behind every element of a list for what follows the lists (the
// ends of the sections, the counters, the count of what was left out):
// well above what that can take.
constexpr std::size_t kReserve = 1024;

// The text being written, and what of its lists was left out for lack of
// room: an element goes in only while kReserve bytes stay free behind it.
class bounded_text {
 public:
  void put(const std::string& piece) { text_ += piece; }
  // Appends `element` (after `separator` when the list has one already).
  void add(bool* first, const char* separator, const std::string& element) {
    const std::size_t length = (*first ? 0 : std::string(separator).size()) + element.size();
    if (text_.size() + length + kReserve > static_cast<std::size_t>(COMM_DIR_STATUS_TEXT_CAPACITY)) {
      ++left_out_;
      return;
    }
    if (!*first) text_ += separator;
    text_ += element;
    *first = false;
  }
  std::size_t left_out() const { return left_out_; }
  std::string take() { return std::move(text_); }

 private:
  std::string text_;
  std::size_t left_out_ = 0;
};

// A JSON string: quotes, backslashes and every byte outside printable ASCII
// escaped, so that nothing a requester wrote reaches a terminal as it is.
std::string quoted(const std::string& text) {
  std::string out = "\"";
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (byte < 0x20 || byte >= 0x7F) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", byte);
      out += escaped;
    } else {
      out += c;
    }
  }
  return out + "\"";
}

std::string utc(std::chrono::system_clock::time_point at) {
  const std::time_t seconds = std::chrono::system_clock::to_time_t(at);
  std::tm parts{};
  gmtime_r(&seconds, &parts);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &parts);
  return text;
}

std::string hex(std::int32_t code) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08x", static_cast<unsigned>(code));
  return text;
}

long long seconds_between(std::chrono::steady_clock::time_point from, std::chrono::steady_clock::time_point to) {
  return std::chrono::duration_cast<std::chrono::seconds>(to - from).count();
}

// The wall clock's time of `at`, a point of the steady clock.
std::chrono::system_clock::time_point wall_time(const comm_dir_status& status,
                                                std::chrono::steady_clock::time_point at) {
  return status.now + std::chrono::duration_cast<std::chrono::system_clock::duration>(at - status.steady_now);
}

std::string in_use(const comm_dir_failover::list_state& list) {
  const std::vector<std::string> uris = comm_dir_ldap_uri_list(list.uris);
  return list.answering < uris.size() ? uris[list.answering] : "";
}

kept_count sum_of(const std::map<uid_t, kept_count>& kept) {
  kept_count all;
  for (const auto& entry : kept) {
    all.replies += entry.second.replies;
    all.bytes += entry.second.bytes;
    all.notices += entry.second.notices;
  }
  return all;
}

// --- JSON ------------------------------------------------------------------

std::string json_kept_fields(const kept_count& kept) {
  return "\"replies\":" + to_string(kept.replies) + ",\"bytes\":" + to_string(kept.bytes) +
         ",\"notices\":" + to_string(kept.notices);
}

std::string json_list(const comm_dir_status& status, const comm_dir_failover::list_state& list) {
  const comm_dir_uri_failure& failure = list.last_failure;
  const std::string uri = in_use(list);
  return "{\"uid\":" + to_string(list.user) + ",\"uris\":" + quoted(list.uris) +
         ",\"in_use\":" + (uri.empty() ? "null" : quoted(uri)) + ",\"last_failure\":{\"uri\":" + quoted(failure.uri) +
         ",\"code\":\"" + hex(failure.code) + "\",\"reason\":" + quoted(failure.reason) + ",\"at\":\"" +
         utc(failure.at) +
         "\"},\"failback_at\":" + (uri.empty() ? "null" : "\"" + utc(wall_time(status, list.failback)) + "\"") + "}";
}

std::string json_requester(const comm_dir_status_requester& requester) {
  return "{\"operation\":" + to_string(requester.operation_id) + ",\"uid\":" + to_string(requester.uid) +
         ",\"pid\":" + to_string(requester.pid) + ",\"endpoint\":" + quoted(requester.endpoint) + "}";
}

std::string json_counters(const comm_dir_status_counters& c) {
  return ",\"counters\":{\"served\":" + to_string(c.served) + ",\"refused_busy\":" + to_string(c.refused_busy) +
         ",\"refused_bad_input\":" + to_string(c.refused_bad_input) +
         ",\"refused_not_allowed\":" + to_string(c.refused_not_allowed) +
         ",\"callbacks_unanswered\":" + to_string(c.callbacks_unanswered) + "}";
}

std::string json(const comm_dir_status& status) {
  bounded_text out;
  out.put("{\"version\":\"" COMMDIR_VERSION "\",\"uptime_s\":" + to_string(status.uptime.count()) +
          ",\"view\":{\"uid\":" + to_string(status.view.viewer) +
          ",\"everything\":" + (status.view.everything ? "true" : "false") + "}" +
          ",\"workers\":{\"busy\":" + to_string(status.workers_busy) + ",\"all\":" + to_string(status.workers) +
          "},\"queue\":{\"waiting\":" + to_string(status.queued) + ",\"limit\":" + to_string(status.queue_limit) +
          "},\"operations\":{");
  if (status.view.everything) {
    out.put("\"open\":" + to_string(status.operations_open) + ",\"limit\":" + to_string(status.max_operations) + ",");
  }
  out.put("\"by_uid\":{");
  bool first = true;
  for (const auto& [user, count] : status.operations_by_user) {
    out.add(&first, ",", "\"" + to_string(user) + "\":" + to_string(count));
  }
  out.put("},\"requesters\":[");
  first = true;
  for (const auto& requester : status.requesters) out.add(&first, ",", json_requester(requester));
  out.put("]},\"waiting\":{");
  if (status.view.everything) out.put("\"all\":" + to_string(status.waiting) + ",");
  out.put("\"by_uid\":{");
  first = true;
  for (const auto& [user, waits] : status.waiting_by_user) {
    std::string on;
    for (const auto& [what, count] : waits) on += (on.empty() ? "" : ",") + quoted(what) + ":" + to_string(count);
    out.add(&first, ",", "\"" + to_string(user) + "\":{" + on + "}");
  }
  out.put("}},\"kept\":{");
  if (status.view.everything) out.put(json_kept_fields(sum_of(status.kept_by_user)) + ",");
  out.put("\"by_uid\":{");
  first = true;
  for (const auto& [user, kept] : status.kept_by_user) {
    out.add(&first, ",", "\"" + to_string(user) + "\":{" + json_kept_fields(kept) + "}");
  }
  out.put("}},\"uri_lists\":[");
  first = true;
  for (const auto& list : status.lists) out.add(&first, ",", json_list(status, list));
  out.put("]");
  if (status.view.everything) out.put(json_counters(status.counters));
  out.put(",\"left_out\":" + to_string(out.left_out()) + "}\n");
  return out.take();
}

// --- lines for people --------------------------------------------------------

std::string duration(long long seconds) {
  char text[48];
  if (seconds < 60) {
    std::snprintf(text, sizeof text, "%lld s", seconds);
  } else if (seconds < 3600) {
    std::snprintf(text, sizeof text, "%lld min %lld s", seconds / 60, seconds % 60);
  } else {
    std::snprintf(text, sizeof text, "%lld h %lld min", seconds / 3600, seconds / 60 % 60);
  }
  return text;
}

std::string text_kept(const kept_count& kept) {
  return to_string(kept.replies) + " (" + to_string(kept.bytes) + " bytes), " + to_string(kept.notices) + " notices";
}

std::string text_list(const comm_dir_status& status, const comm_dir_failover::list_state& list) {
  const comm_dir_uri_failure& failure = list.last_failure;
  const std::string uri = in_use(list);
  std::string line = "  uid " + to_string(list.user) + " " + quoted(list.uris) +
                     "\n    in use: " + (uri.empty() ? "none, every URI failed" : quoted(uri)) + "\n    last failure: ";
  if (failure.uri.empty()) {
    line += "not known\n";  // a list remembered again after it was evicted, by a URI that answered
  } else {
    line += utc(failure.at) + " (" +
            duration(std::chrono::duration_cast<std::chrono::seconds>(status.now - failure.at).count()) + " ago), " +
            quoted(failure.uri) + ", " + hex(failure.code) + ": " + quoted(failure.reason) + "\n";
  }
  if (!uri.empty()) {
    const long long due = seconds_between(status.steady_now, list.failback);
    line += "    failback: the first URI is tried again " +
            (due > 0 ? "from " + utc(wall_time(status, list.failback)) + " (in " + duration(due) + ")"
                     : std::string("at the next connection")) +
            "\n";
  }
  return line;
}

std::string text_requester(const comm_dir_status_requester& requester) {
  return "  operation " + to_string(requester.operation_id) + ": uid " + to_string(requester.uid) + ", pid " +
         to_string(requester.pid) + ", endpoint " + quoted(requester.endpoint) + "\n";
}

std::string text_counters(const comm_dir_status_counters& c) {
  return "requests: " + to_string(c.served) + " served; refused: " + to_string(c.refused_busy) + " busy, " +
         to_string(c.refused_bad_input) + " bad input, " + to_string(c.refused_not_allowed) +
         " not allowed; callbacks not answered: " + to_string(c.callbacks_unanswered) + "\n";
}

std::string text(const comm_dir_status& status) {
  bounded_text out;
  const std::string viewer = to_string(status.view.viewer);
  out.put("comm-dir-service " COMMDIR_VERSION ", up " + duration(status.uptime.count()) + "\n");
  out.put(status.view.everything ? "view: everything (uid " + viewer + ")\n"
                                 : "view: what is uid " + viewer + "'s (root and the daemon's user see everything)\n");
  out.put("workers: " + to_string(status.workers_busy) + " busy of " + to_string(status.workers) +
          "; queue: " + to_string(status.queued) + " waiting of " + to_string(status.queue_limit) + "\n");
  out.put("operations open: " +
          (status.view.everything ? to_string(status.operations_open) + " of " + to_string(status.max_operations) + "; "
                                  : std::string()) +
          "by uid: ");
  bool first = true;
  for (const auto& [user, count] : status.operations_by_user) {
    out.add(&first, ", ", to_string(user) + ": " + to_string(count));
  }
  if (first) out.put("none");
  out.put("\n");
  first = true;
  for (const auto& requester : status.requesters) out.add(&first, "", text_requester(requester));
  out.put("waiting on the network or an application: " +
          (status.view.everything ? to_string(status.waiting) + "; " : std::string()) + "by uid: ");
  first = true;
  for (const auto& [user, waits] : status.waiting_by_user) {
    std::string on;
    for (const auto& [what, count] : waits) on += (on.empty() ? "" : ", ") + to_string(count) + " on " + what;
    out.add(&first, "; ", to_string(user) + ": " + on);
  }
  if (first) out.put("none");
  out.put("\nkept replies: ");
  if (status.view.everything) out.put(text_kept(sum_of(status.kept_by_user)) + "; ");
  out.put("by uid: ");
  first = true;
  for (const auto& [user, kept] : status.kept_by_user) out.add(&first, ", ", to_string(user) + ": " + text_kept(kept));
  if (first) out.put("none");
  out.put("\nURI lists failed over or failing: " +
          (status.lists.empty() ? std::string("none") : to_string(status.lists.size())) + "\n");
  first = true;
  for (const auto& list : status.lists) out.add(&first, "", text_list(status, list));
  if (status.view.everything) out.put(text_counters(status.counters));
  if (out.left_out() != 0) out.put("left out for lack of room: " + to_string(out.left_out()) + " entries\n");
  return out.take();
}

}  // namespace

std::string comm_dir_format_status(const comm_dir_status& status, COMM_DIR_STATUS_FORMAT format) {
  return format == COMM_DIR_STATUS_JSON ? json(status) : text(status);
}

}  // namespace velmarosta
