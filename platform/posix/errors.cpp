#include "platform/errors.h"

#include <cstring>

namespace {
thread_local unsigned long last_error = 0;
}

unsigned long LastError() {
    return last_error;
}

void SetLastError(unsigned long code) {
    last_error = code;
}

const char *RuntimeErrorText(int err) {
    // strerrordesc_np gives nullptr beyond the table, without "Unknown error"
    // texts made up for the caller.
    return err < 0 ? nullptr : strerrordesc_np(err);
}
