// Registered callback objects and the calls under way on them.
//
// Thread safety: one mutex (mu_) guards the word table, the object-to-word
// map and the count of calls under way per word. A call is counted under mu_
// before it starts and uncounted after it ends; an unregister removes the word
// under mu_ (so no new call can start) and then waits on call_ended_ until the
// count has dropped to the calls that its own thread is making. The object is
// called without any lock held, so callbacks of one or several objects run in
// parallel, and a callback may register or unregister objects.
#include "server/comm_dir_callback_registry.h"

#include <unordered_map>

#include "commdir/comm_dir_facade.h"
#include "ipc/comm_dir_trace.h"
#include "ipc/comm_dir_word_table.h"
#include "platform/commdir_thread_safety.h"

namespace velmarosta {
namespace {

constexpr char kRegisterSig[] = "UINT velmarosta::comm_dir_register_callback(velmarosta::comm_dir_callback*)";
constexpr char kUnregisterSig[] = "RETCODE velmarosta::comm_dir_unregister_callback(UINT)";
constexpr char kDestructorSig[] = "velmarosta::comm_dir_callback::~comm_dir_callback()";
constexpr char kInvokeSig[] = "bool velmarosta::comm_dir_invoke_callback(UINT, UINT)";
constexpr char kFailed[] = "[ERROR]<%s>(%d) : %s\n";

// The calls under way on this thread, innermost first, each naming its
// object's word. Lives in the callers' stack frames, so keeping it allocates
// nothing.
struct call_frame {
  UINT word;
  const call_frame* outer;
};
thread_local const call_frame* t_innermost_call = nullptr;

int calls_on_this_thread(UINT word) {
  int count = 0;
  for (const call_frame* frame = t_innermost_call; frame != nullptr; frame = frame->outer) {
    if (frame->word == word) ++count;
  }
  return count;
}

class callback_registry {
 public:
  UINT add(comm_dir_callback* object) {
    commdir_sync::lock_guard lock(mu_);
    auto known = word_of_.find(object);
    if (known != word_of_.end()) return known->second;
    UINT word = words_.add(object);
    word_of_[object] = word;
    return word;
  }

  // Unregisters the object named by `word` and waits until its calls on other
  // threads have ended. False when `word` names no registered object.
  bool remove(UINT word) {
    commdir_sync::unique_lock lock(mu_);
    return remove_locked(lock, word);
  }

  // The same for the word of `object`, if it has one.
  void forget(const comm_dir_callback* object) {
    commdir_sync::unique_lock lock(mu_);
    auto known = word_of_.find(object);
    if (known != word_of_.end()) (void)remove_locked(lock, known->second);
  }

  bool invoke(UINT word, UINT argument) {
    comm_dir_callback* object = nullptr;
    {
      commdir_sync::lock_guard lock(mu_);
      if (!words_.with(word, [&object](comm_dir_callback& found) { object = &found; })) {
        return false;
      }
      ++running_[word];
    }
    call_frame frame{word, t_innermost_call};
    t_innermost_call = &frame;
    call_object(*object, word, argument);
    t_innermost_call = frame.outer;
    {
      commdir_sync::lock_guard lock(mu_);
      if (--running_[word] == 0) running_.erase(word);
    }
    call_ended_.notify_all();
    return true;
  }

 private:
  // Application code must not unwind through the dispatch task.
  static void call_object(comm_dir_callback& object, UINT word, UINT argument) {
    try {
      object.on_callback(argument);
    } catch (...) {
      COMM_DIR_TRACE(0, "[ERROR]<%s>(%d) : on_callback of word=%#x threw\n", kInvokeSig, __LINE__, word);
    }
  }

  // The calls that this thread itself makes on the object are not waited for:
  // they are further up its own stack and can only end after this returns.
  bool remove_locked(commdir_sync::unique_lock& lock, UINT word) REQUIRES(mu_) {
    comm_dir_callback* object = words_.remove(word);
    if (object == nullptr) return false;
    word_of_.erase(object);
    const int own_calls = calls_on_this_thread(word);
    call_ended_.wait(lock, [this, word, own_calls]() REQUIRES(mu_) { return calls_of(word) <= own_calls; });
    return true;
  }

  int calls_of(UINT word) const REQUIRES(mu_) {
    auto it = running_.find(word);
    return it == running_.end() ? 0 : it->second;
  }

  commdir_sync::mutex mu_;
  commdir_sync::condition_variable call_ended_;  // notified after each call ends
  comm_dir_word_table<comm_dir_callback> words_ GUARDED_BY(mu_);
  std::unordered_map<const comm_dir_callback*, UINT> word_of_ GUARDED_BY(mu_);
  // Calls under way per word. Counted by word, not by object: a word reused
  // at once for a new object makes an unregister wait a little longer,
  // never shorter.
  std::unordered_map<UINT, int> running_ GUARDED_BY(mu_);
};

// Never destroyed: dispatch tasks may still call into it while the process
// exits.
callback_registry& registry() {
  static auto* instance = new callback_registry();
  return *instance;
}

}  // namespace

bool comm_dir_invoke_callback(UINT word, UINT argument) {
  try {
    return registry().invoke(word, argument);
  } catch (const std::exception& error) {
    COMM_DIR_TRACE(0, kFailed, kInvokeSig, __LINE__, error.what());
    return false;
  }
}

UINT comm_dir_register_callback(comm_dir_callback* object) {
  if (object == nullptr) {
    COMM_DIR_TRACE(0, kFailed, kRegisterSig, __LINE__, "object is NULL");
    return 0;
  }
  try {
    return registry().add(object);
  } catch (const std::exception& error) {
    COMM_DIR_TRACE(0, kFailed, kRegisterSig, __LINE__, error.what());
    return 0;
  }
}

RETCODE comm_dir_unregister_callback(UINT word) {
  try {
    if (registry().remove(word)) return 0;
    COMM_DIR_TRACE(0, "[ERROR]<%s>(%d) : word=%#x names no callback object\n", kUnregisterSig, __LINE__, word);
  } catch (const std::exception& error) {
    COMM_DIR_TRACE(0, kFailed, kUnregisterSig, __LINE__, error.what());
  }
  return COMM_DIR_ERR;
}

// A safety net for objects destroyed while still registered: no callback can
// start on them afterwards. Callbacks already running on other threads are
// waited for, but they may meet the derived part already destroyed, so
// applications unregister first.
comm_dir_callback::~comm_dir_callback() {
  try {
    registry().forget(this);
  } catch (const std::exception& error) {
    COMM_DIR_TRACE(0, kFailed, kDestructorSig, __LINE__, error.what());
  }
}

}  // namespace velmarosta
