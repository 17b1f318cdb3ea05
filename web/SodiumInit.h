#pragma once

// libsodium is set up once per process, before the first hash, random token or comparison;
// the first caller does it, on any thread. Throws std::runtime_error when the library cannot
// start (no source of randomness), as nothing secure can be made then.
void EnsureSodium();
