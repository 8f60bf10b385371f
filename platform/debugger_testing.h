// Test hook of debugger.h: catches the channel's lines.
#pragma once

// Every DebugOutput call goes to sink instead of the channel; nullptr
// restores the channel.
using DebugSink = void (*)(const char *text);
void DebugOutputSetSink(DebugSink sink);
