// A seam for tests of the request client, not part of the exported API (the
// library builds with hidden visibility, so only programs that link the
// static archive reach it).
#ifndef COMMDIR_IPC_COMM_DIR_IPC_MULTI_CLIENT_TESTING_H_
#define COMMDIR_IPC_COMM_DIR_IPC_MULTI_CLIENT_TESTING_H_

#include "commdir/comm_dir_types.h"

namespace velmarosta {

// On a host whose addresses are wider than 32 bits, the next reply words are
// drawn from `next` on (words in use and 0 still skipped), so that a test can
// run the counter across its wrap. No effect where the word is the address.
void comm_dir_testing_restart_reply_words_at(UINT next);

}  // namespace velmarosta

#endif  // COMMDIR_IPC_COMM_DIR_IPC_MULTI_CLIENT_TESTING_H_
