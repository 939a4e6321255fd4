#include "cipher.h"

#include "kvc_turing.h"

namespace kvcd {

namespace {

class TuringKeystream : public Keystream {
public:
    explicit TuringKeystream(const uint8_t key[32]) { turing_session_start(&state_, key); }
    void apply(uint8_t* buf, size_t len) override { turing_session_xor(&state_, buf, static_cast<int64_t>(len)); }

private:
    TuringData state_{};
};

}  // namespace

std::unique_ptr<Keystream> make_session_keystream(const uint8_t key[32]) {
    return std::make_unique<TuringKeystream>(key);
}

}  // namespace kvcd
