// The per-thread record of a request whose reply a later wait awaits (see
// "a reply that will not come" in posix_internal.h).
//
// Thread-safe: every field is the calling thread's own.
#include "platform/posix/posix_internal.h"

namespace commdir_posix {
namespace {

struct ReplyWatch {
  UINT created_event = 0;  // the event this thread created last
  UINT watched_event = 0;  // the event that the request below awaits, or 0
  UINT client = 0;         // the client that the request went over
};

// Constant-initialised and trivially destroyed: no per-thread initialisation
// guard or destructor registration, so each access is a plain load or store.
thread_local ReplyWatch t_watch;

}  // namespace

void NoteEventCreated(UINT event_id) { t_watch.created_event = event_id; }

void NoteRequestSent(UINT client_handle) {
  t_watch.watched_event = t_watch.created_event;
  t_watch.client = client_handle;
}

UINT TakeReplyWatch(UINT event_id) {
  if (event_id == 0 || t_watch.watched_event != event_id) return 0;
  t_watch.watched_event = 0;
  return t_watch.client;
}

}  // namespace commdir_posix
