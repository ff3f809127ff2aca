// Freeing what a comm_dir_info record holds for the application. The facade's
// end_operation and the result store's destructor both free records, and
// they must agree on how, so this is the one place that knows.
#ifndef COMMDIR_FACADE_COMM_DIR_INFO_HOLDINGS_H_
#define COMMDIR_FACADE_COMM_DIR_INFO_HOLDINGS_H_

#include "commdir/comm_dir_facade.h"

namespace velmarosta {

// Frees the attribute name and both value lists of `info` and sets the three
// pointers and both counts to zero. The record itself is left to the caller.
void free_info_holdings(comm_dir_info& info);

// Frees a value list: every element before `count` (an element may be
// NULL where the service delivered no value), then any further elements up to
// the first NULL, then the array. A NULL list is nothing to free.
void free_value_list(char** list, UINT count);
void free_value_list(COMM_DIR_BERVAL** list, UINT count);

}  // namespace velmarosta

#endif  // COMMDIR_FACADE_COMM_DIR_INFO_HOLDINGS_H_
