#include "tests/fakes/CallLog.h"

#include <cstdio>
#include <cstdlib>

static std::vector<std::string> Calls;
static unsigned FallibleCalls;
static unsigned FailingCall;

std::vector<std::string> &CallLog() { return Calls; }

bool ShouldFailNextCall() {
  FallibleCalls++;
  return FailingCall != 0 && FallibleCalls == FailingCall;
}

void FailFallibleCall(unsigned CallNumber) { FailingCall = CallNumber; }

unsigned FallibleCallCount() { return FallibleCalls; }

void ResetCallLog() {
  Calls.clear();
  FallibleCalls = 0;
  FailingCall = 0;
}

void UnexpectedCall(const char *What) {
  std::fprintf(stderr, "unexpected call into the fakes: %s\n", What);
  std::abort();
}
