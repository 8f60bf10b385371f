// The system's debugger output channel behind debugger.h, one per platform
// (posix/, win32/); platform/common/debugger.cpp sends to it unless a test
// sink is set.
//
// Thread-safe as debugger.h says: callers serialise whole lines.
#pragma once

// Sends text (a whole line, its own line end included) to the channel.
void SystemDebugOutput(const char *text);
