// The process's registered callback objects, named by the 32-bit words that
// travel in callback requests. The public side (comm_dir_register_callback,
// comm_dir_unregister_callback) is declared in the facade's header; this is
// the side that the callback server uses.
#ifndef COMMDIR_SERVER_COMM_DIR_CALLBACK_REGISTRY_H_
#define COMMDIR_SERVER_COMM_DIR_CALLBACK_REGISTRY_H_

#include "commdir/comm_dir_types.h"

namespace velmarosta {

// Calls on_callback(argument) of the object that `word` names, on the calling
// thread, and returns true; returns false, calling nothing, when `word` names
// no registered object. While the call runs, an unregister of the object
// waits for it (except one made by this very call).
bool comm_dir_invoke_callback(UINT word, UINT argument);

}  // namespace velmarosta

#endif  // COMMDIR_SERVER_COMM_DIR_CALLBACK_REGISTRY_H_
