// Value requests (function ids 5 to 10) answered by the scripted service from
// a table of values, by attribute name; one answer of a kind may be replaced.
#ifndef COMMDIR_TESTS_SUPPORT_SERVED_VALUES_H_
#define COMMDIR_TESTS_SUPPORT_SERVED_VALUES_H_

#include <optional>

#include "client/comm_dir_messages.h"
#include "support/scripted_service.h"

namespace commdir_test {

using namespace velmarosta;
using Values = std::vector<std::optional<std::string>>;  // nullopt: an index without a value
using Served = std::map<std::string, Values>;            // by attribute name

struct Kind {
  bool binary;
  int count_id, length_id, value_id;
  UINT max_length;
  std::size_t reply_extra, entry_extra;  // value reply: 1948 + L + extra bytes; entry: L + extra
};
inline const Kind kKinds[] = {{false, 5, 6, 7, COMM_DIR_MAX_STRING_VALUE, 1, 1},  // function ids 5 to 10
                              {true, 8, 9, 10, COMM_DIR_MAX_BINARY_VALUE, 0, 4}};

// The answer to the request `id` of the value at `index` (or to the count,
// at kCount) replaced with `result` and `word`.
constexpr UINT kCount = ~1u, kLargest = ~2u;  // kLargest: one beyond the kind's largest length
struct Answer {
  int Kind::*id = nullptr;
  UINT index = 0;
  RETCODE result = 0;
  UINT word = 0;
};

// The service's answers to value requests (function ids 5 to 10) from the
// values `served`: a value reply holds the string and its NUL, or a
// COMM_DIR_BERVAL, from byte 20; the answer `replaced` of `kind` aside.
inline void serve_values(scripted_service& service, const Served& served, const Kind& kind = kKinds[0],
                         Answer replaced = {}) {
  replaced.word = replaced.word == kLargest ? kind.max_length + 1 : replaced.word;
  for (int id = COMM_DIR_FUNC_GET_VALUE_STRING_CNT; id <= COMM_DIR_FUNC_GET_VALUE_BINARY_ONE; ++id) {
    service.on(id, [=](const service_request& request) {
      const UINT index = request.word(offsetof(COMM_DIR_VALUE_REQUEST, value_index));
      if (replaced.id != nullptr && id == kind.*replaced.id && (replaced.index == kCount || index == replaced.index)) {
        return scripted_reply::words(replaced.result, replaced.word);
      }
      const auto it = served.find(request.text(offsetof(COMM_DIR_VALUE_REQUEST, attribute)));
      const Values values = it == served.end() ? Values() : it->second;
      const std::optional<std::string> found = index < values.size() ? values[index] : std::nullopt;
      const int step = (id - COMM_DIR_FUNC_GET_VALUE_STRING_CNT) % 3;  // count, length, value
      if (step == 0) return scripted_reply::words(0, static_cast<UINT>(values.size()));
      const UINT size = found ? static_cast<UINT>(found->size()) : 0;
      if (step == 1 || !found) return scripted_reply::words(0, size);
      const std::string length(reinterpret_cast<const char*>(&size), sizeof size);
      const bool binary = id == COMM_DIR_FUNC_GET_VALUE_BINARY_ONE;
      return scripted_reply::words(0, COMM_DIR_REPLY_WORD_PRESENT, binary ? length + *found : *found + '\0');
    });
  }
}

}  // namespace commdir_test

#endif  // COMMDIR_TESTS_SUPPORT_SERVED_VALUES_H_
