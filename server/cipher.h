// The session keystream of an encrypted connection, from the library's own
// Turing code, so that both ends run the same generator.
#pragma once

#include <cstdint>
#include <memory>

#include "channel.h"

namespace kvcd {

std::unique_ptr<Keystream> make_session_keystream(const uint8_t key[32]);

}  // namespace kvcd
