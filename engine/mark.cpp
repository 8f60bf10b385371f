#include "engine/tarnwick.h"

// Placeholder until the mark tick lands.
void marktick(uint32_t, uint32_t, uintptr_t, uint32_t, uintptr_t) {}
