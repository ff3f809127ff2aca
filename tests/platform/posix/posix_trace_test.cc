// The trace: what a line may carry, and the budget of a flood.
#include "support/posix_harness.h"

namespace {

using namespace commdir_posix_test;

// A text that peers fill can neither start a line of its own nor send a
// terminal a command: every control character is escaped, nothing else. A
// flood of one format is cut to its budget: the first line left out says
// so, and the next line of that format in a later window comes after the
// count of lines left out; other formats go on. A setting that cannot be
// read keeps the default budget; "off" lifts it.
TEST_F(PlatformTest, TraceLinesAreEscapedAndBudgeted) {
  const std::string long_text(10000, 'L');
  emwGENTrcPrintf(0x3409, 258, 1, "<%s>(%d) %s\n", long_text.c_str(), 42,
                  "a\nb\tc\rd\x1b[2Je\a\x01"
                  "f\x7fg\xc2\x9b"
                  "2J J\xc3\xbcrgen\xc2\xa0\\");
  setenv("COMM_DIR_TRACE", "off", 1);
  emwGENTrcPrintf(7, 8, 0, "never written");
  setenv("COMM_DIR_TRACE", Path("trace.log").c_str(), 1);
  std::string trace = Trace();
  EXPECT_EQ(trace.rfind("20", 0), 0u);  // the date first
  EXPECT_EQ(Count(trace, " pid=" + std::to_string(getpid()) + " tid="), 1u);
  EXPECT_EQ(Count(trace, "mod=0x3409 cat=258 flag=1 <" + long_text +
                             ">(42) a\\nb\\x09c\\x0dd\\x1b[2Je\\x07\\x01f\\x7fg\\xc2\\x9b2J J\xc3\xbcrgen\xc2\xa0\\\n"),
            1u);
  EXPECT_EQ(Count(trace, "\n"), 1u) << trace;

  setenv("COMM_DIR_TRACE_LIMIT", "3/1", 1);
  static const char kFlood[] = "flood %d.";
  for (int i = 0; i < 10; ++i) emwGENTrcPrintf(7, 8, 0, kFlood, i);
  emwGENTrcPrintf(7, 8, 0, "another format");
  std::this_thread::sleep_for(milliseconds(1100));
  emwGENTrcPrintf(7, 8, 0, kFlood, 10);
  trace = Trace();
  for (int i = 0; i < 11; ++i)
    EXPECT_EQ(Count(trace, "flood " + std::to_string(i) + ".\n"), i < 3 || i == 10 ? 1u : 0u);
  EXPECT_EQ(Count(trace, "flag=0 trace: leaving out further lines of this format for up to 1 s: flood %d.\n"), 1u);
  EXPECT_EQ(Count(trace, "another format\n"), 1u);
  EXPECT_LT(trace.find("flag=0 trace: left out 7 lines of this format: flood %d.\n"), trace.find("flood 10."));
  for (const char* setting : {"3-1", "-1/60", "off"}) {
    setenv("COMM_DIR_TRACE_LIMIT", setting, 1);
    static const char kMore[] = "more %s %d.";
    for (int i = 0; i < 60; ++i) emwGENTrcPrintf(7, 8, 0, kMore, setting, i);
    const std::string more = std::string("more ") + setting;
    EXPECT_EQ(Count(Trace(), more + " 49.\n") + Count(Trace(), more + " 50.\n"), setting[0] == 'o' ? 2u : 1u);
  }
}

}  // namespace
