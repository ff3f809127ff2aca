#include "facade/comm_dir_info_holdings.h"

namespace velmarosta {
namespace {

// Elements are blocks from new char[]: a string with its NUL, or a
// COMM_DIR_BERVAL's length word followed by its bytes. Releasing them as the
// char arrays they were allocated as keeps new[] and delete[] matched.
template <typename Element>
void free_list_elements(Element** list, UINT count) {
  if (list == nullptr) return;
  UINT index = 0;
  // Counted entries first: a NULL gap must not hide the entries behind it.
  for (; index < count; ++index) delete[] reinterpret_cast<char*>(list[index]);
  // A record whose count was never set (count 0) still frees its list up to
  // the terminating NULL.
  for (; list[index] != nullptr; ++index) delete[] reinterpret_cast<char*>(list[index]);
  delete[] list;
}

}  // namespace

void free_value_list(char** list, UINT count) { free_list_elements(list, count); }

void free_value_list(COMM_DIR_BERVAL** list, UINT count) { free_list_elements(list, count); }

void free_info_holdings(comm_dir_info& info) {
  delete[] info.attr_name;
  info.attr_name = nullptr;
  free_value_list(info.str_values, info.str_count);
  info.str_values = nullptr;
  info.str_count = 0;
  free_value_list(info.bin_values, info.bin_count);
  info.bin_values = nullptr;
  info.bin_count = 0;
}

}  // namespace velmarosta
