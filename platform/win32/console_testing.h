// Test hook of the Win32 console events: the system delivers them only to a
// process with a console, which a test under wine has not.
#pragma once

// Delivers a console control event (kCtrlCEvent, kCtrlBreakEvent,
// kCtrlCloseEvent) to this process's console handling as the system does, on
// the calling thread.  Returns nonzero when it was handled, 0 when the system
// would go on to the default handling.
int ConsoleEventForTest(unsigned long event);
