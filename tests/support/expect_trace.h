// Checks of the trace lines that the fake platform records.
#ifndef COMMDIR_TESTS_SUPPORT_EXPECT_TRACE_H_
#define COMMDIR_TESTS_SUPPORT_EXPECT_TRACE_H_

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "commdir/comm_dir_types.h"
#include "support/fake/fake_platform.h"

namespace commdir_test {

// The recorded lines whose signature starts with `prefix`: one layer's own,
// as the layers below it trace too.
inline std::vector<fake::Trace> traces_from(const std::string& prefix) {
  std::vector<fake::Trace> own;
  for (const fake::Trace& t : fake::traces()) {
    if (!t.args.empty() && t.args[0].s.rfind(prefix, 0) == 0) own.push_back(t);
  }
  return own;
}

// The arguments that `format` takes: one per conversion.
inline std::size_t conversions(const std::string& format) {
  std::size_t n = 0;
  for (std::size_t at = 0; (at = format.find('%', at)) != std::string::npos; at += 2) n += format.compare(at, 2, "%%") != 0;
  return n;
}

// Expects `traces` to be exactly one line of this library's module and
// category with this format and flag, carrying the signature, its reporting
// line and one argument per further conversion. Returns it, or an empty line
// when there was not exactly one.
inline fake::Trace only_trace(const std::vector<fake::Trace>& traces, const std::string& format, int flag,
                              const std::string& signature) {
  EXPECT_EQ(traces.size(), 1u);
  if (traces.size() != 1) return fake::Trace{};
  const fake::Trace& t = traces[0];
  EXPECT_EQ(t.module, velmarosta::COMM_DIR_MODULE_ID);
  EXPECT_EQ(t.category, velmarosta::COMM_DIR_TRACE_CATEGORY);
  EXPECT_EQ(t.format, format);
  EXPECT_EQ(t.flag, flag);
  EXPECT_EQ(t.args.size(), conversions(format));
  EXPECT_TRUE(t.args.size() >= 2 && t.args[0] == signature && t.args[1].kind == fake::Value::kInt &&
              t.args[1].i > 0);
  return t;
}

}  // namespace commdir_test

#endif  // COMMDIR_TESTS_SUPPORT_EXPECT_TRACE_H_
