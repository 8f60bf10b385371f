// Test hooks of the engine.
#pragma once

// Frees the rule list (closing the targets' descriptors) and returns the engine state to its
// initial values.
void EngineResetForTest();
// Forgets the lines output has gathered and the dates it worked out (called by
// EngineResetForTest).
void OutputResetForTest();
