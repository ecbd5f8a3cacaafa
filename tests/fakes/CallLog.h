// One ordered record of every call the driver makes into the fakes
// (boot services, SMBIOS table service, hardware), and the fault injector:
// the n-th counted call can be made to fail.
#pragma once

#include <string>
#include <vector>

std::vector<std::string> &CallLog();

// Counts a call into a fallible service and says whether it is the one to fail.
bool ShouldFailNextCall();
// 0 disables; n fails the n-th fallible call counted since the last reset.
void FailFallibleCall(unsigned CallNumber);
unsigned FallibleCallCount();

void ResetCallLog();

// Reports a call the test did not expect and aborts: every service slot that
// a test leaves unassigned points here.
[[noreturn]] void UnexpectedCall(const char *What);
