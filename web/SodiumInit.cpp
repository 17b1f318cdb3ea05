#include "web/SodiumInit.h"

#include <sodium.h>

#include <stdexcept>

void EnsureSodium() {
    // A function-local static is made once even when threads race to it.
    static const int status = sodium_init();
    if (status < 0) throw std::runtime_error("the cryptography library cannot start");
}
