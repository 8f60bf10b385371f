// The debugger output channel: where every trace line goes.
//
// Windows: OutputDebugStringA.  POSIX: standard error, one write per line.
//
// Thread-safe; callers serialise whole lines themselves (the trace lock).
#pragma once

// Sends text (a whole trace line, its own line end included) to the channel.
void DebugOutput(const char *text);
