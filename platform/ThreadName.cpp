#include "platform/ThreadName.h"

#include <pthread.h>

void SetCurrentThreadName(const char* name) { pthread_setname_np(pthread_self(), name); }
