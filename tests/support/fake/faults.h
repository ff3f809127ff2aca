// Platform calls that fail on purpose, for the unit tests, which otherwise
// run over the real POSIX platform. faults.cc defines every platform call, so
// that the library's calls (linked into the test program) reach it before the
// platform's shared library: each is counted and then either handed on or
// answered with a planned failure. It keeps the trace lines instead of
// writing them, and lists the tasks started.
//
// Every test program that links it gets an IPC folder of its own, made at
// start-up and removed at exit. Everything here is thread-safe.
#ifndef COMMDIR_TESTS_SUPPORT_FAKE_FAULTS_H_
#define COMMDIR_TESTS_SUPPORT_FAKE_FAULTS_H_

#include <functional>
#include <string>
#include <vector>

#include "commdir/comm_dir_types.h"

namespace faults {

constexpr RETCODE kCode = 0x5A;  // what a planned failure returns

// The nth call of `fn` from now (1: the next) returns kCode and does
// nothing, but a failed release of a mutex releases it all the same.
void fail(const std::string& fn, int nth = 1);
int calls(const std::string& fn);      // since the start
UINT last_id(const std::string& fn);   // the semaphore or handle of its last call
int open_clients();                    // IPC clients created and not destroyed yet
bool traced(const std::string& part);  // a trace line since clear() holds `part` ("": true)
std::vector<std::string> traces();
void clear();                                // forgets the trace lines
void name_process(const std::string& name);  // what emwOSWGetProcessName gives from now on

// The next call of `fn` waits, before it does anything, until resume(): for
// an order of events that no caller can force.
void pause_next(const std::string& fn);
bool paused();  // a call waits there now
void resume();

// The tasks started with emwOSWCreateJoinTask: their names and first three words.
struct task {
  std::string name;
  INT words[3];
};
std::vector<task> tasks();

bool wait_until(const std::function<bool()>& done, double seconds = 10);

}  // namespace faults

#endif  // COMMDIR_TESTS_SUPPORT_FAKE_FAULTS_H_
