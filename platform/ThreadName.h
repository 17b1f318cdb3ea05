#pragma once

// Names the calling thread for debuggers (at most 15 characters are kept).
void SetCurrentThreadName(const char* name);
