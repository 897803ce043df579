#include "platform/ProcessHardening.h"

#include <gtest/gtest.h>

#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

// In a child, so that the test program itself stays dumpable for debugging.
TEST(ProcessHardening, ProcessIsNoLongerDumpable) {
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    const bool was = ::prctl(PR_GET_DUMPABLE) == 1;
    const bool took = tavro::HardenProcess();
    ::_exit(was && took && ::prctl(PR_GET_DUMPABLE) == 0 ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}
