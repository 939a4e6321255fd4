// Parameter values as they arrive after a command: the single-row block and
// the batch header and blocks, decoded into values SQLite can bind.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "budget.h"
#include "channel.h"
#include "config.h"

struct sqlite3_stmt;

namespace kvcd {

enum class ValueKind { Null, Int, Real, Text, Blob };

struct ParamValue {
    std::string name;       // empty when bound by position
    int16_t direction = 1;  // 1 in, 2 out, 3 in-out
    int32_t wire_type = 0;  // server type the client announced
    ValueKind kind = ValueKind::Null;
    int64_t i = 0;
    double d = 0;
    std::string bytes;      // Text and Blob
    std::string refused;    // why the value cannot be used: the request fails
    std::shared_ptr<Reservation> held;  // the memory budget's share for bytes
};

// One batch block, read from the channel as its rows are taken: no copy of
// the block is held, and no row may run past its end.
class BlockReader {
public:
    BlockReader(Channel& ch, size_t length) : ch_(ch), left_(length) {}
    void read_bytes(void* dst, size_t len);
    uint8_t read_u8();
    int32_t read_i32();
    void read_into(std::string& out, size_t len);
    void skip(size_t len);
    bool at_end() const { return left_ == 0; }

private:
    void take(size_t len);
    Channel& ch_;
    size_t left_;
};

// Reads `count` parameters of the single-row layout (also the first row of a batch).
void read_param_row(Channel& ch, int count, const Limits& lim, std::vector<ParamValue>& out);

// Reads one value of a batch row; the type comes from the row's type byte
// (typed protocol) or from the header's entry for the slot.
void read_block_value(BlockReader& r, bool typed, const ParamValue& header_slot, const Limits& lim,
                      ParamValue& out);

// Binds values to a statement: named values by name (prefix and letter case
// ignored), unnamed ones by position starting at *next_position. Returns an
// error text, or an empty string.
std::string bind_values(sqlite3_stmt* st, const std::vector<ParamValue>& values, size_t* next_position,
                        std::vector<bool>* used);

// Name of a statement parameter as clients see it: ":id" -> "id", "?3" -> "3", "?" -> "".
std::string public_param_name(sqlite3_stmt* st, int index);

}  // namespace kvcd
