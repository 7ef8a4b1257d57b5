// Tests of the entry points' guard: how each kind of exception thrown by the
// pipeline becomes a CallFailure, and the layout of the failure report.

#include <gtest/gtest.h>

#include <new>
#include <stdexcept>
#include <string>

#include "common/abort.h"
#include "common/guard.h"

namespace cellvault {
namespace {

TEST(GuardTest, ReturnsNothingWhenTheCallReturns) {
  int calls = 0;
  EXPECT_FALSE(run_guarded([&] { ++calls; }).has_value());
  EXPECT_EQ(calls, 1);
}

TEST(GuardTest, AbortBecomesPanicWithMessageAndLocation) {
  const int line = __LINE__ + 1;
  auto failure = run_guarded([] { abort_call("boom"); });
  ASSERT_TRUE(failure.has_value());
  EXPECT_EQ(failure->kind, CallFailure::Kind::Panic);
  EXPECT_EQ(failure->message, "boom");
  // file:line:column of the abort_call above.
  EXPECT_NE(failure->location.find("guard_test.cpp:" + std::to_string(line) + ":"),
            std::string::npos)
      << failure->location;

  auto error = run_guarded([] {
    (void)unwrap(IoResult<int>(Err{IoError::custom(ErrorKind::InvalidData, "bad")}));
  });
  ASSERT_TRUE(error.has_value());
  EXPECT_EQ(error->message,
            "called `Result::unwrap()` on an `Err` value: "
            "Custom { kind: InvalidData, error: \"bad\" }");
}

TEST(GuardTest, EmptyMessagesGetTheReplacementText) {
  auto abort = run_guarded([] { abort_call(""); });
  ASSERT_TRUE(abort.has_value());
  EXPECT_EQ(abort->kind, CallFailure::Kind::Panic);
  EXPECT_EQ(abort->message, "the call was aborted without a message");

  auto other = run_guarded([] { throw std::runtime_error(""); });
  ASSERT_TRUE(other.has_value());
  EXPECT_EQ(other->message, "the call was aborted without a message");
}

TEST(GuardTest, OtherExceptionsNeverEscape) {
  auto oom = run_guarded([] { throw std::bad_alloc(); });
  ASSERT_TRUE(oom.has_value());
  EXPECT_EQ(oom->kind, CallFailure::Kind::OutOfMemory);
  EXPECT_EQ(oom->message, "");

  auto logic = run_guarded([] { throw std::out_of_range("index 9 past 4"); });
  ASSERT_TRUE(logic.has_value());
  EXPECT_EQ(logic->kind, CallFailure::Kind::Panic);
  EXPECT_EQ(logic->message, "index 9 past 4");
  EXPECT_EQ(logic->location, "");

  auto odd = run_guarded([] { throw 42; });
  ASSERT_TRUE(odd.has_value());
  EXPECT_EQ(odd->kind, CallFailure::Kind::Panic);
  EXPECT_EQ(odd->message, "the call failed with an exception of unknown type");
}

TEST(GuardTest, ReportNamesThreadLocationAndMessage) {
  CallFailure failure{CallFailure::Kind::Panic, "it broke", "src/x.cpp:12:7"};
  EXPECT_EQ(format_failure_report(failure, "main", false),
            "thread 'main' failed at src/x.cpp:12:7:\nit broke\n");
  EXPECT_EQ(format_failure_report(failure, "worker", true),
            "thread 'worker' failed at src/x.cpp:12:7:\nit broke\n"
            "note: run with `CELLVAULT_BACKTRACE=1` environment variable to "
            "display a backtrace\n");
  failure.location.clear();
  EXPECT_EQ(format_failure_report(failure, "main", false),
            "thread 'main' failed at <unknown location>:\nit broke\n");
}

}  // namespace
}  // namespace cellvault
