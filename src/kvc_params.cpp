// Parameter sets: single and array binding, the parameter description of a
// prepared statement, and the two wire encoders (one row of single values, and
// the array rows of a batch).
#include "kvc_params.h"

#include "kvc.h"
#include "kvc_inner.h"
#include "kvc_utility.h"

#include <algorithm>
#include <array>
#include <memory>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>

namespace {

constexpr int kSlotStep = 128;              // single binding grows the slot arrays by this much
constexpr int kMaxWireCount = 65535;        // a batch header carries counts in 16 bits
constexpr int kMaxNameBytes = INT16_MAX;    // names travel behind an int16 length
constexpr int kBlockSize = 512000;          // batch rows are packed into blocks of this size
constexpr int kBlockHeadroom = 64000;       // a block is sent once less than this is left
constexpr int64_t kContiguousLobLimit = 534773760;   // binary LOBs above 510 MiB go in one write
constexpr int kDecimalElementWidth = 41;    // room an array of decimal texts reserves per element
constexpr int kLengthPrefix = 4;            // the int32 in front of a prefixed array element

// ---- coding tables --------------------------------------------------------------

// How a value is written after its int32 length.
enum class Form : uint8_t {
    Null,       // always a null: length 0, nothing follows
    Bytes,      // L bytes
    Int8,       // one byte
    Int16,      // 16-bit integer, big-endian
    Int32,      // 32-bit integer (or a float's bits), big-endian
    Int64,      // 64-bit integer (or a double's bits), big-endian
    Prefixed,   // L bytes that follow the element's 4-byte length prefix
    Lob,        // the content of a large-object handle
};

// How array binding finds element r in the caller's block.
enum class Layout : uint8_t {
    None,            // no batch encoding: refused at array binding
    Fixed,           // elements of the form's width, copied as one block
    PackedCopy,      // decimal texts of lengths[r] bytes back to back, copied
    PackedRef,       // texts of lengths[r] bytes back to back, the caller's block
    CountPrefixed,   // int32 prefix n (host order), then n bytes; copied
    BinaryPrefixed,  // 4-byte prefix, then lengths[r] bytes
};

struct TypeCoding {
    int16_t server_type;   // announced in front of the value
    Form single;           // send_params
    Form batch;            // kvc_sendparamS, first row and block rows
    Layout layout;         // array binding
    // The int32 in front of a fixed-width value is the caller's length,
    // except where the server is promised the width itself: a 4-byte integer
    // single value, and the 4-byte values of batch rows.
    bool single_width;
    bool row_width;
};

constexpr int kCTypeLimit = 70;

// Every C type that is not listed travels as character data and cannot be
// array-bound. 12, 14, 28 and 31 are among them: no row form exists for them,
// so array binding refuses them rather than sending bytes the server cannot
// parse.
constexpr std::array<TypeCoding, kCTypeLimit> make_codings() {
    std::array<TypeCoding, kCTypeLimit> table{};
    for (auto& entry : table) entry = {KVC_SQL_CHAR, Form::Bytes, Form::Null, Layout::None, false, false};
    // Server types 1 (a null of no type) and 1008 have no name of their own.
    table[KVC_C_NULL] = {1, Form::Null, Form::Null, Layout::None, false, false};
    table[KVC_C_BOOL] = {KVC_SQL_TINYINT, Form::Bytes, Form::Int8, Layout::Fixed, false, false};
    table[KVC_C_CHAR] = {KVC_SQL_CHAR, Form::Bytes, Form::Prefixed, Layout::CountPrefixed, false, false};
    table[KVC_C_TINYINT] = {KVC_SQL_TINYINT, Form::Bytes, Form::Int8, Layout::Fixed, false, false};
    table[KVC_C_SHORT] = {KVC_SQL_SMALLINT, Form::Int16, Form::Int16, Layout::Fixed, false, false};
    table[KVC_C_INT] = {KVC_SQL_INT, Form::Int32, Form::Int32, Layout::Fixed, true, true};
    table[KVC_C_BIGINT] = {KVC_SQL_BIGINT, Form::Int64, Form::Int64, Layout::Fixed, false, false};
    table[KVC_C_FLOAT] = {KVC_SQL_FLOAT, Form::Int32, Form::Int32, Layout::Fixed, false, true};
    table[KVC_C_DOUBLE] = {KVC_SQL_DOUBLE, Form::Int64, Form::Int64, Layout::Fixed, false, false};
    table[KVC_C_NUMERIC] = {KVC_SQL_CHAR, Form::Bytes, Form::Bytes, Layout::PackedCopy, false, false};
    table[KVC_C_DATE] = {KVC_SQL_CHAR, Form::Bytes, Form::Bytes, Layout::PackedRef, false, false};
    table[KVC_C_TIME] = {KVC_SQL_CHAR, Form::Bytes, Form::Bytes, Layout::PackedRef, false, false};
    table[KVC_C_DATETIME] = {KVC_SQL_CHAR, Form::Bytes, Form::Bytes, Layout::PackedRef, false, false};
    table[KVC_C_BINARY] = {KVC_SQL_BINARY, Form::Bytes, Form::Prefixed, Layout::BinaryPrefixed, false, false};
    table[KVC_C_TIMESTAMP_MS] = {KVC_SQL_DATETIME, Form::Int64, Form::Int64, Layout::Fixed, false, false};
    table[KVC_C_BLOB_ALT] = {KVC_SQL_BLOB, Form::Lob, Form::Null, Layout::None, false, false};
    table[KVC_C_CLOB] = {KVC_SQL_CLOB, Form::Lob, Form::Null, Layout::None, false, false};
    table[KVC_C_BLOB] = {KVC_SQL_BLOB, Form::Lob, Form::Null, Layout::None, false, false};
    table[KVC_C_TYPE_1008] = {1008, Form::Null, Form::Null, Layout::None, false, false};
    table[KVC_C_CHARDATA] = {KVC_SQL_CHAR, Form::Bytes, Form::Prefixed, Layout::CountPrefixed, false, false};
    table[KVC_C_SINGLE_CHAR] = {KVC_SQL_CHAR, Form::Bytes, Form::Int8, Layout::Fixed, false, false};
    return table;
}
constexpr std::array<TypeCoding, kCTypeLimit> kCodings = make_codings();
constexpr TypeCoding kOtherCoding = {KVC_SQL_CHAR, Form::Bytes, Form::Null, Layout::None, false, false};

const TypeCoding& coding_of(int c_type) {
    return c_type >= 0 && c_type < kCTypeLimit ? kCodings[c_type] : kOtherCoding;
}

// Bytes a fixed-width form always occupies; 0 for the variable ones.
int form_width(Form form) {
    switch (form) {
    case Form::Int8: return 1;
    case Form::Int16: return 2;
    case Form::Int32: return 4;
    case Form::Int64: return 8;
    case Form::Lob: return static_cast<int>(sizeof(void*));
    default: return 0;
    }
}

bool is_output_direction(int direction) {
    return param_direction_valid(direction) && direction != PARAM_INPUT;
}

// ---- storage ----------------------------------------------------------------------

// Entries in every per-slot array: the capacity, or exactly param_count in a
// set made by prepare.
int slot_entries(const KVCSParam* set) {
    return set->slot_capacity > set->param_count ? set->slot_capacity : set->param_count;
}

bool holds_arrays(const KVCSParam* set) { return set->array_size > 0 && set->param_count > 0; }

int slot_direction(const KVCSParam* set, int slot) {
    return set->directions != nullptr ? set->directions[slot] : 0;
}

template <typename T>
T* alloc_zeroed(size_t count) {
    return static_cast<T*>(hr_malloc0(sizeof(T) * (count == 0 ? 1 : count)));
}

template <typename T>
void free_and_clear(T*& pointer) {
    free(pointer);
    pointer = nullptr;
}

// Memory of the C allocator held until it is handed to the set: whatever is
// still held when a binding gives up is released on the way out.
struct FreeDeleter {
    void operator()(void* p) const { free(p); }
};
template <typename T>
using Owned = std::unique_ptr<T, FreeDeleter>;

template <typename T>
Owned<T> owned_zeroed(size_t count) {
    return Owned<T>(alloc_zeroed<T>(count));
}

// Gives a field the held block, releasing what it held before.
template <typename T>
void replace_field(T*& field, Owned<T>& fresh) {
    free(field);
    field = fresh.release();
}

// ---- kept blocks ------------------------------------------------------------------------

// Batch bindings are made and released again for every batch. Their large
// blocks (value copies, length arrays, the block buffer) stay with the set
// for the next batch rather than going back to the C allocator, which hands
// such pages back to the kernel: the next batch then writes to pages already
// in memory instead of fresh ones the kernel must clear first.
constexpr int64_t kKeptBlockMin = 64 * 1024;            // smaller blocks come and go through malloc
constexpr int64_t kKeptBytesMax = 64 * 1024 * 1024;     // idle bytes one set keeps at most

// A block of at least `bytes`, lent from the set's kept blocks when one is
// idle and large enough. Null when memory is exhausted.
void* take_block(KVCSParam* set, int64_t bytes) {
    if (bytes < kKeptBlockMin) return kvc_malloc(static_cast<size_t>(bytes));
    KeptBlock* best = nullptr;
    KeptBlock* free_entry = nullptr;
    KeptBlock* idle_too_small = nullptr;
    for (KeptBlock& kept : set->kept_blocks) {
        if (kept.memory == nullptr) {
            if (free_entry == nullptr) free_entry = &kept;
        } else if (kept.lent == 0) {
            if (kept.capacity < bytes) idle_too_small = &kept;
            else if (best == nullptr || kept.capacity < best->capacity) best = &kept;
        }
    }
    if (best != nullptr) {
        best->lent = 1;
        return best->memory;
    }
    if (free_entry == nullptr && idle_too_small != nullptr) {   // the larger block takes its entry
        free(idle_too_small->memory);
        *idle_too_small = KeptBlock{};
        free_entry = idle_too_small;
    }
    const int64_t capacity = (bytes + kKeptBlockMin - 1) / kKeptBlockMin * kKeptBlockMin;
    // Filled from its start at once: resident in one call, not a fault per page.
    void* memory = kvc_calloc_populated(1, static_cast<size_t>(capacity));
    if (memory != nullptr && free_entry != nullptr) *free_entry = KeptBlock{memory, capacity, 1};
    return memory;
}

// Returns a block of take_block: a kept one becomes idle (or is freed when
// the set already keeps enough), any other is freed.
void give_block(KVCSParam* set, void* memory) {
    if (memory == nullptr) return;
    KeptBlock* entry = nullptr;
    int64_t idle = 0;
    for (KeptBlock& kept : set->kept_blocks) {
        if (kept.memory == memory) entry = &kept;
        else if (kept.memory != nullptr && kept.lent == 0) idle += kept.capacity;
    }
    if (entry != nullptr && idle + entry->capacity <= kKeptBytesMax) {
        entry->lent = 0;
        return;
    }
    free(memory);
    if (entry != nullptr) *entry = KeptBlock{};
}

void drop_kept_blocks(KVCSParam* set) {
    for (KeptBlock& kept : set->kept_blocks) {
        free(kept.memory);
        kept = KeptBlock{};
    }
}

// A block of take_block held until the set takes it over; given back when
// a binding gives up on the way.
class LentBlock {
public:
    LentBlock(KVCSParam* set, int64_t bytes) : set_(set), memory_(bytes > 0 ? take_block(set, bytes) : nullptr) {}
    ~LentBlock() { give_block(set_, memory_); }
    LentBlock(const LentBlock&) = delete;
    LentBlock& operator=(const LentBlock&) = delete;
    template <typename T>
    T* get() const { return static_cast<T*>(memory_); }
    explicit operator bool() const { return memory_ != nullptr; }
    void* release() {
        void* memory = memory_;
        memory_ = nullptr;
        return memory;
    }

private:
    KVCSParam* set_;
    void* memory_;
};

// A single-bound input owns its value copy and its length.
void release_input_copy(KVCSParam* set, int slot) {
    if (set->row_values != nullptr && set->row_values[0] != nullptr) free_and_clear(set->row_values[0][slot]);
    if (set->length_ptrs != nullptr) free_and_clear(set->length_ptrs[slot]);
}

// Releases every binding, name and array and returns the set to its empty
// state; the record, its origin and its error text stay.
void release_storage(KVCSParam* set) {
    const int entries = slot_entries(set);
    const bool array_mode = set->array_size > 0;
    for (int slot = 0; slot < entries; ++slot) {
        if (set->names != nullptr) free(set->names[slot]);
        if (array_mode) {
            if (set->length_ptrs != nullptr) give_block(set, set->length_ptrs[slot]);
        } else if (slot_direction(set, slot) == PARAM_INPUT) {
            release_input_copy(set, slot);
        }
        if (set->owned_blocks != nullptr) give_block(set, set->owned_blocks[slot]);
    }
    if (set->row_values != nullptr) free(set->row_values[0]);   // every row lives in one block
    free_and_clear(set->row_values);
    free_and_clear(set->names);
    free_and_clear(set->c_types);
    free_and_clear(set->buffer_lengths);
    free_and_clear(set->length_ptrs);
    free_and_clear(set->positions);
    free_and_clear(set->directions);
    free_and_clear(set->owned_blocks);
    set->param_count = 0;
    set->slot_capacity = 0;
    set->array_size = 0;
    set->row_count_allocated = 0;
}

// The one row of `entries` value pointers behind a row table (array
// bindings keep each slot's first element there too). Null when either
// allocation fails.
Owned<void**> alloc_first_row(int entries) {
    Owned<void**> table = owned_zeroed<void**>(1);
    Owned<void*> row = owned_zeroed<void*>(static_cast<size_t>(entries));
    if (!table || !row) return nullptr;
    table.get()[0] = row.release();
    return table;
}

template <typename T>
Owned<T> resized(const T* old, int old_n, int new_n) {
    Owned<T> fresh = owned_zeroed<T>(static_cast<size_t>(new_n));
    if (fresh && old != nullptr && old_n > 0)
        memcpy(fresh.get(), old, sizeof(T) * static_cast<size_t>(old_n));
    return fresh;
}

// Grows (or first creates) the one-row layout of single binding to new_n
// slots. All or nothing: on an allocation failure the set is unchanged.
bool grow_single_storage(KVCSParam* set, int new_n, bool with_names) {
    const int old_n = set->slot_capacity;
    void** old_row = set->row_values != nullptr ? set->row_values[0] : nullptr;
    Owned<void**> table = set->row_values != nullptr ? nullptr : owned_zeroed<void**>(1);
    Owned<void*> row = resized(old_row, old_n, new_n);
    Owned<int32_t> c_types = resized(set->c_types, old_n, new_n);
    Owned<int32_t> buffer_lengths = resized(set->buffer_lengths, old_n, new_n);
    Owned<int32_t*> length_ptrs = resized(set->length_ptrs, old_n, new_n);
    Owned<int32_t> positions = resized(set->positions, old_n, new_n);
    Owned<int32_t> directions = resized(set->directions, old_n, new_n);
    const bool need_names = with_names || set->names != nullptr;
    Owned<char*> names = need_names ? resized(set->names, old_n, new_n) : nullptr;
    if ((set->row_values == nullptr && !table) || !row || !c_types || !buffer_lengths ||
        !length_ptrs || !positions || !directions || (need_names && !names))
        return false;
    if (table) set->row_values = table.release();
    replace_field(set->row_values[0], row);
    replace_field(set->c_types, c_types);
    replace_field(set->buffer_lengths, buffer_lengths);
    replace_field(set->length_ptrs, length_ptrs);
    replace_field(set->positions, positions);
    replace_field(set->directions, directions);
    replace_field(set->names, names);
    set->slot_capacity = new_n;
    set->row_count_allocated = 1;
    return true;
}

// The value row, lengths, directions and owned blocks of `entries` slots.
// The description arrays (types, sizes, positions, names) are left to the
// caller: a prepared set already has them. All or nothing.
bool alloc_binding_arrays(KVCSParam* set, int entries) {
    Owned<int32_t*> length_ptrs = owned_zeroed<int32_t*>(static_cast<size_t>(entries));
    Owned<int32_t> directions = owned_zeroed<int32_t>(static_cast<size_t>(entries));
    Owned<void*> owned_blocks = owned_zeroed<void*>(static_cast<size_t>(entries));
    if (!length_ptrs || !directions || !owned_blocks) return false;
    Owned<void**> table = alloc_first_row(entries);
    if (!table) return false;
    set->row_values = table.release();
    replace_field(set->length_ptrs, length_ptrs);
    replace_field(set->directions, directions);
    replace_field(set->owned_blocks, owned_blocks);
    set->row_count_allocated = 1;
    return true;
}

// A fresh layout for array binding: `rows` rows of `entries` slots.
bool alloc_array_storage(KVCSParam* set, int rows, int entries, bool with_names) {
    release_storage(set);
    set->c_types = alloc_zeroed<int32_t>(static_cast<size_t>(entries));
    set->buffer_lengths = alloc_zeroed<int32_t>(static_cast<size_t>(entries));
    set->positions = alloc_zeroed<int32_t>(static_cast<size_t>(entries));
    if (with_names) set->names = alloc_zeroed<char*>(static_cast<size_t>(entries));
    if (set->c_types == nullptr || set->buffer_lengths == nullptr || set->positions == nullptr ||
        (with_names && set->names == nullptr) || !alloc_binding_arrays(set, entries)) {
        release_storage(set);
        return false;
    }
    set->slot_capacity = entries;
    set->array_size = rows;
    return true;
}

int find_name(const KVCSParam* set, const char* name, int limit) {
    if (set->names == nullptr) return -1;
    for (int slot = 0; slot < limit; ++slot) {
        if (set->names[slot] != nullptr && strcasecmp(set->names[slot], name) == 0) return slot;
    }
    return -1;
}

// ---- refusals ------------------------------------------------------------------------

int refuse(KVCSParam* set, int status, const char* text) {
    kvc_set_text(&set->error_text, text);
    return status;
}

int refuse_no_memory(KVCSParam* set) { return refuse(set, KVC_NO_MEMORY, param_text::kNoMemory); }

// ---- single binding ----------------------------------------------------------------------

struct InputCopy {
    Owned<unsigned char> value;
    Owned<int32_t> length;
};

// Copies an input value so the caller may reuse its variable at once. A
// fixed-width C type copies at most its width (the caller's variable is no
// larger), a LOB copies the handle the variable holds whatever the length,
// and the copy is padded so that the encoder may read a full width.
int make_input_copy(KVCSParam* set, int c_type, const void* value, const int* length,
                    InputCopy* out) {
    if (length == nullptr) return KVC_BAD_HANDLE;
    const int32_t declared = *length;
    if (declared < 0) {
        kvc_set_textf(&set->error_text, param_text::kBadLength, declared);
        return KVC_PARAM_REFUSED;
    }
    const Form form = coding_of(c_type).single;
    const int width = form_width(form);
    int32_t copied = declared;
    if (form == Form::Lob) copied = value != nullptr ? width : 0;
    else if (width > 0 && copied > width) copied = width;
    if (copied > 0 && value == nullptr) return KVC_BAD_HANDLE;
    const size_t room = static_cast<size_t>(copied > 8 ? copied : 8) + 1;
    out->value = owned_zeroed<unsigned char>(room);
    out->length = owned_zeroed<int32_t>(1);
    if (!out->value || !out->length) return refuse_no_memory(set);
    if (copied > 0) memcpy(out->value.get(), value, static_cast<size_t>(copied));
    *out->length = declared;
    return 0;
}

// Stores one binding into slot i of row 0. An input takes the copy; the
// other directions keep the caller's own buffer and length variable.
void store_single(KVCSParam* set, int slot, int direction, int c_type, void* value,
                  int buffer_length, int* length, InputCopy& copy) {
    if (slot_direction(set, slot) == PARAM_INPUT) release_input_copy(set, slot);
    set->c_types[slot] = c_type;
    if (direction == PARAM_INPUT) {
        set->row_values[0][slot] = copy.value.release();
        set->length_ptrs[slot] = copy.length.release();
        set->owns_input_copies = 1;
    } else {
        set->row_values[0][slot] = value;
        set->length_ptrs[slot] = length;
    }
    set->buffer_lengths[slot] = buffer_length;
    set->directions[slot] = direction;
}

// A set made by prepare gets its value row, lengths and directions at its
// first binding.
bool ensure_prepared_rows(KVCSParam* set) {
    if (set->row_values != nullptr) return true;
    return alloc_binding_arrays(set, set->param_count);
}

bool is_prepared_layout(const KVCSParam* set) {
    return set->origin == PARAMS_PREPARED && set->param_count > 0 && set->slot_capacity == 0;
}

// ---- array binding -----------------------------------------------------------------------

struct ArraySource {
    const unsigned char* block;   // where the elements are read
    int64_t size;                 // bytes of the block the elements must lie in
};

// Walks the elements of one array-bound parameter, calling visit(r, offset)
// for each; false as soon as an element would reach past the block or its
// length disagrees with its prefix.
template <typename Visit>
bool walk_elements(Layout layout, int width, const ArraySource& source, const int32_t* lengths,
                   int rows, Visit visit) {
    if (layout == Layout::Fixed) {   // the common case, without a test per element
        if (static_cast<int64_t>(rows) * width > source.size) return false;
        for (int r = 0; r < rows; ++r) visit(r, static_cast<int64_t>(r) * width);
        return true;
    }
    int64_t offset = 0;
    for (int r = 0; r < rows; ++r) {
        int64_t span = 0;
        switch (layout) {
        case Layout::Fixed:
            span = width;
            break;
        case Layout::PackedCopy:
        case Layout::PackedRef:
            span = lengths[r];
            break;
        case Layout::CountPrefixed: {
            if (offset + kLengthPrefix > source.size) return false;
            int32_t count = 0;
            memcpy(&count, source.block + offset, sizeof count);
            if (count < 0 || lengths[r] > count) return false;
            span = kLengthPrefix + static_cast<int64_t>(count);
            break;
        }
        case Layout::BinaryPrefixed:
            span = kLengthPrefix + static_cast<int64_t>(lengths[r]);
            break;
        case Layout::None:
            return false;
        }
        if (offset + span > source.size) return false;
        visit(r, offset);
        offset += span;
    }
    return true;
}

struct ArrayBinding {
    int slot;
    int c_type;
    int position;          // positions[] entry
    int rows;
    void* values;
    int64_t total_size;
    const int* lengths;
    bool copy_binary;      // C type 15 is copied when bound by position
    Owned<char>* name;     // heap copy the slot takes over, or null
};

// Validates and stores one array-bound input parameter. Nothing in the set
// changes unless the whole binding succeeds.
int store_array(KVCSParam* set, const ArrayBinding& b) {
    const TypeCoding& coding = coding_of(b.c_type);
    if (coding.layout == Layout::None) {
        puts("bindparam unsurpported datatype");
        kvc_set_textf(&set->error_text, param_text::kBadDatatype, b.c_type);
        return KVC_BAD_DATATYPE;
    }
    for (int r = 0; r < b.rows; ++r) {
        if (b.lengths[r] < 0) {
            kvc_set_textf(&set->error_text, param_text::kBadLength, b.lengths[r]);
            return KVC_PARAM_REFUSED;
        }
    }
    const int width = form_width(coding.batch);
    const int64_t rows = b.rows;
    ArraySource source{static_cast<const unsigned char*>(b.values), b.total_size};
    int64_t copy_size = 0;   // bytes to copy out of the caller's block, 0 = refer to it
    int64_t copy_room = 0;
    switch (coding.layout) {
    case Layout::Fixed:
        // The elements are the caller's variables of the type: R of them are
        // copied whatever total_size says, which is only stored.
        copy_size = copy_room = source.size = rows * width;
        break;
    case Layout::PackedCopy:
        copy_room = rows * kDecimalElementWidth;
        copy_size = b.total_size < copy_room ? b.total_size : copy_room;
        source.size = copy_size;
        break;
    case Layout::CountPrefixed:
        copy_size = copy_room = b.total_size;
        break;
    case Layout::BinaryPrefixed:
        if (b.copy_binary) copy_size = copy_room = b.total_size;
        break;
    default:
        break;
    }
    if (b.total_size < 0 || b.total_size > INT32_MAX ||
        !walk_elements(coding.layout, width, source, b.lengths, b.rows, [](int, int64_t) {})) {
        kvc_set_textf(&set->error_text, param_text::kBlockTooSmall, b.position);
        return KVC_PARAM_REFUSED;
    }
    LentBlock block(set, copy_room);
    if (copy_room > 0) {
        if (!block) return refuse_no_memory(set);
        memcpy(block.get<unsigned char>(), b.values, static_cast<size_t>(copy_size));
        memset(block.get<unsigned char>() + copy_size, 0, static_cast<size_t>(copy_room - copy_size));
        source.block = block.get<unsigned char>();
    }
    const int64_t length_bytes = static_cast<int64_t>(sizeof(int32_t)) * rows;
    LentBlock lengths(set, length_bytes);
    if (!lengths) return refuse_no_memory(set);
    memcpy(lengths.get<int32_t>(), b.lengths, static_cast<size_t>(length_bytes));

    const int slot = b.slot;
    give_block(set, set->owned_blocks[slot]);
    set->owned_blocks[slot] = block.release();
    give_block(set, set->length_ptrs[slot]);
    set->length_ptrs[slot] = static_cast<int32_t*>(lengths.release());
    // The other rows follow in the block; the encoder walks them in order.
    set->row_values[0][slot] = const_cast<unsigned char*>(source.block);
    if (b.name != nullptr) replace_field(set->names[slot], *b.name);
    set->positions[slot] = b.position;
    set->c_types[slot] = b.c_type;
    set->buffer_lengths[slot] = static_cast<int32_t>(b.total_size);
    set->directions[slot] = PARAM_INPUT;
    set->owns_input_copies = 1;
    return 0;
}

// The row count both array binders check before any storage is made.
int check_array_size(KVCSParam* set, int array_size) {
    if (array_size < 1 || array_size > kMaxWireCount) {
        kvc_set_textf(&set->error_text, param_text::kBadArraySize, array_size,
                      holds_arrays(set) ? set->array_size : 0);
        return KVC_PARAM_REFUSED;
    }
    return 0;
}

// A set that already holds bindings must hold arrays of the same size.
int check_array_mode(KVCSParam* set, int array_size) {
    if (set->array_size == 0) return refuse(set, KVC_PARAM_REFUSED, param_text::kArrayIntoSingle);
    if (set->array_size != array_size) {
        kvc_set_textf(&set->error_text, param_text::kBadArraySize, array_size, set->array_size);
        return KVC_PARAM_REFUSED;
    }
    return 0;
}

int check_param_total(KVCSParam* set, int param_no, int param_total) {
    if (param_total < 1 || param_total > kMaxWireCount) {
        kvc_set_textf(&set->error_text, param_text::kBadArrayParamNo, param_no, param_total);
        return KVC_BAD_PARAM_NO;
    }
    return 0;
}

// ---- wire encoding ----------------------------------------------------------------------

template <typename T>
T load(const void* p) {
    T v;
    memcpy(&v, p, sizeof v);
    return v;
}

// Writes straight through the connection's send buffer.
struct ConnSink {
    Conn_Attrs* conn;
    void u8(uint8_t v) { rh_send_char(conn, static_cast<char>(v)); }
    void i16(int16_t v) { rh_send_int16(conn, v); }
    void i32(int32_t v) { rh_send_int32(conn, v); }
    void i64(int64_t v) { rh_send_int64(conn, v); }
    void bytes(const void* data, int len) { rh_send(conn, data, len); }
};

// Packs into a batch block; the caller has made sure the row fits. Inline
// stores: this runs for every field of every row.
struct BlockSink {
    unsigned char* buf;
    int pos;
    void u8(uint8_t v) { buf[pos++] = v; }
    void i16(int16_t v) { put(v); }
    void i32(int32_t v) { put(v); }
    void i64(int64_t v) { put(v); }
    void bytes(const void* data, int len) {
        memcpy(buf + pos, data, static_cast<size_t>(len));
        pos += len;
    }
    template <typename T>
    void put(T v) {
        wire_store(buf + pos, v);
        pos += static_cast<int>(sizeof(T));
    }
};

// Bytes that follow the int32 length: 0 for a null (no value, length 0, or a
// form that is always null); a fixed-width form sends its width.
inline int32_t value_bytes(Form form, const void* value, int32_t length) {
    if (value == nullptr || length <= 0) return 0;
    switch (form) {
    case Form::Bytes:
    case Form::Prefixed:
        return length;
    case Form::Null:
    case Form::Lob:
        return 0;
    default:
        return form_width(form);
    }
}

// The length in front of a fixed-width value is the caller's L unless
// announce_width; a one-byte element always announces the one byte it sends.
// n is value_bytes of the same form, value and length, when the caller has it already.
template <typename Sink>
void put_value(Sink& out, Form form, const void* value, int32_t length, bool announce_width, int32_t n) {
    const bool fixed = form_width(form) > 0 && form != Form::Int8;
    out.i32(n != 0 && fixed && !announce_width ? length : n);
    if (n == 0) return;
    const unsigned char* p = static_cast<const unsigned char*>(value);
    switch (form) {
    case Form::Bytes: out.bytes(p, n); break;
    case Form::Prefixed: out.bytes(p + kLengthPrefix, n); break;
    case Form::Int8: out.u8(*p); break;
    case Form::Int16: out.i16(load<int16_t>(p)); break;
    case Form::Int32: out.i32(load<int32_t>(p)); break;
    case Form::Int64: out.i64(load<int64_t>(p)); break;
    default: break;
    }
}

template <typename Sink>
void put_value(Sink& out, Form form, const void* value, int32_t length, bool announce_width) {
    put_value(out, form, value, length, announce_width, value_bytes(form, value, length));
}

void put_name(ConnSink& out, const KVCSParam* set, int slot) {
    const char* name = set->names != nullptr ? set->names[slot] : nullptr;
    const size_t len = name != nullptr ? strlen(name) : 0;
    const int16_t n = static_cast<int16_t>(len > kMaxNameBytes ? kMaxNameBytes : len);
    out.i16(n);
    if (n > 0) out.bytes(name, n);
}

// A slot that was passed over or never bound goes out as an input null of
// no particular type, so that the server still reads as many parameters as
// the header announced.
void put_unbound_slot(ConnSink& out) {
    out.i16(PARAM_INPUT);
    out.i16(coding_of(0).server_type);
    out.i32(0);
}

// A complete LOB travels as its length and all its bytes, chunk by chunk;
// anything else as a null. -1 when a binary chunk could not be sent.
int put_lob(ConnSink& out, int c_type, const void* value) {
    KolvaLob_* lob = value != nullptr ? load<KolvaLob_*>(value) : nullptr;
    const bool complete = lob != nullptr && lob->handle_kind == KVC_HANDLE_LOB && lob->lob_state == 2 &&
                          lob->total_length > 0 && lob->total_length <= INT32_MAX;
    // The chain must hold every byte the length promises.
    int64_t held = 0;
    lob_chunk* last = nullptr;
    if (complete) {
        for (lob_chunk* c = lob->first_chunk; c != nullptr && c->chunk_data != nullptr &&
                                               held < lob->total_length;
             c = c->chunk_next) {
            held += LOB_CHUNK_SIZE;
            last = c;
        }
    }
    if (!complete || held < lob->total_length) {
        out.i32(0);
        return 0;
    }
    const int64_t total = lob->total_length;
    out.i32(static_cast<int32_t>(total));
    const bool binary = c_type != 41;
    if (binary && total > kContiguousLobLimit) {
        unsigned char* whole = static_cast<unsigned char*>(kvc_malloc(static_cast<size_t>(total) + 1));
        if (whole != nullptr) {
            int64_t at = 0;
            for (lob_chunk* c = lob->first_chunk; at < total; c = c->chunk_next) {
                const int64_t n = total - at < LOB_CHUNK_SIZE ? total - at : LOB_CHUNK_SIZE;
                memcpy(whole + at, c->chunk_data, static_cast<size_t>(n));
                at += n;
            }
            rh_send(out.conn, whole, static_cast<int>(total));
            free(whole);
            lob->current_chunk = last;
            return 0;
        }
        // Without room for the copy the chunks go out one by one: the same bytes.
    }
    int64_t remaining = total;
    for (lob_chunk* c = lob->first_chunk; remaining > 0; c = c->chunk_next) {
        const int n = static_cast<int>(remaining < LOB_CHUNK_SIZE ? remaining : LOB_CHUNK_SIZE);
        if (rh_send(out.conn, c->chunk_data, n) == -1 && binary) {
            fputs("send param net Error for BLOB", stdout);
            fflush(stdout);
            return -1;
        }
        remaining -= n;
    }
    lob->current_chunk = last;
    return 0;
}

int32_t row_length(const KVCSParam* set, int slot, int row) {
    const int32_t* lengths = set->length_ptrs != nullptr ? set->length_ptrs[slot] : nullptr;
    return lengths != nullptr ? lengths[row] : 0;
}

bool array_slot_bound(const KVCSParam* set, int slot) {
    return slot_direction(set, slot) == PARAM_INPUT && set->length_ptrs[slot] != nullptr;
}

// First row of a batch, with the parameter descriptions.
void put_batch_header(ConnSink& out, const KVCSParam* set) {
    for (int slot = 0; slot < set->param_count; ++slot) {
        if (slot_direction(set, slot) == PARAM_RETURN_VALUE) continue;
        put_name(out, set, slot);
        if (!array_slot_bound(set, slot)) {
            put_unbound_slot(out);
            continue;
        }
        const TypeCoding& coding = coding_of(set->c_types[slot]);
        out.i16(PARAM_INPUT);
        out.i16(coding.server_type);
        put_value(out, coding.batch, set->row_values[0][slot], row_length(set, slot, 0), false);
    }
}

// What a slot's elements are to the row loop: its layout and form together.
enum class RowKind : uint8_t { Null, Int8, Int16, Int32, Int64, Packed, CountPrefixed, BinaryPrefixed };

// How a slot goes out in the block rows, resolved once per batch, and where
// its next element lies: a slot's elements follow each other in its block, so
// the rows are read in order with one cursor per slot.
struct SlotCursor {
    const unsigned char* next;   // the element of the row about to be read
    const int32_t* lengths;      // null: the slot goes out as a null in every row
    RowKind kind;
    Form form;
    uint8_t type_byte;
    bool announce_width;         // the int32 in front of a value is its width, not the caller's length
    int8_t value_width;          // bytes a fixed-width value sends, -1 for a variable-length one
};

RowKind row_kind(Layout layout, Form form) {
    switch (layout) {
    case Layout::Fixed:
        return form == Form::Int8 ? RowKind::Int8 : form == Form::Int16 ? RowKind::Int16
             : form == Form::Int32 ? RowKind::Int32 : RowKind::Int64;
    case Layout::PackedCopy:
    case Layout::PackedRef: return RowKind::Packed;
    case Layout::CountPrefixed: return RowKind::CountPrefixed;
    case Layout::BinaryPrefixed: return RowKind::BinaryPrefixed;
    case Layout::None: break;
    }
    return RowKind::Null;
}

SlotCursor cursor_of(const KVCSParam* set, int slot) {
    const auto type_byte = [](int c_type) { return static_cast<uint8_t>(getDBTYPE(c_type)); };
    if (!array_slot_bound(set, slot)) return {nullptr, nullptr, RowKind::Null, Form::Null, type_byte(0), false, 0};
    const int c_type = set->c_types[slot];
    const TypeCoding& coding = coding_of(c_type);
    const Form form = coding.batch;
    const bool variable = form == Form::Bytes || form == Form::Prefixed;
    // A one-byte element always announces the one byte it sends.
    return {static_cast<const unsigned char*>(set->row_values[0][slot]), set->length_ptrs[slot],
            row_kind(coding.layout, form), form, type_byte(c_type), coding.row_width || form == Form::Int8,
            static_cast<int8_t>(variable ? -1 : form_width(form))};
}

// The element the cursor is on, the cursor moved to the next one: elements
// of `width` bytes, of the caller's lengths, or behind a 4-byte prefix that
// holds the count or goes with the caller's length.
inline const unsigned char* step_fixed(SlotCursor& c, int width) {
    const unsigned char* at = c.next;
    c.next += width;
    return at;
}
inline const unsigned char* step_packed(SlotCursor& c, int32_t length) { return step_fixed(c, length); }
inline const unsigned char* step_count_prefixed(SlotCursor& c) {
    return step_fixed(c, kLengthPrefix + load<int32_t>(c.next));
}
inline const unsigned char* step_binary_prefixed(SlotCursor& c, int32_t length) {
    return step_fixed(c, kLengthPrefix + length);
}

// One value of a block row.
struct RowField {
    const unsigned char* value;
    int32_t length;   // the caller's length; 0 for a null
    int32_t n;        // bytes after the int32 length
};

// Row `row` of one slot, whose element the cursor is on; the cursor moves on
// to the next row's element.
inline RowField take_field(SlotCursor& c, int row) {
    if (c.kind == RowKind::Null) return {nullptr, 0, 0};
    const int32_t length = c.lengths[row];
    const unsigned char* at = nullptr;
    switch (c.kind) {
    case RowKind::Int8:
    case RowKind::Int16:
    case RowKind::Int32:
    case RowKind::Int64: at = step_fixed(c, c.value_width); break;
    case RowKind::Packed: at = step_packed(c, length); break;
    case RowKind::CountPrefixed: at = step_count_prefixed(c); break;
    case RowKind::BinaryPrefixed: at = step_binary_prefixed(c, length); break;
    case RowKind::Null: break;
    }
    // value_bytes, with the form's width looked up once per batch
    const int32_t n = length <= 0 ? 0 : c.value_width >= 0 ? c.value_width : length;
    return {at, length, n};
}

// put_value's bytes for the row loop, written without a bounds test: a null,
// a fixed-width value, and the bytes of a variable-length one.
inline unsigned char* put_null_value(unsigned char* p) {
    wire_store(p, int32_t{0});
    return p + 4;
}
template <typename T>
inline unsigned char* put_fixed_value(unsigned char* p, SlotCursor& c, int32_t length) {
    const unsigned char* at = step_fixed(c, sizeof(T));
    if (length <= 0) return put_null_value(p);
    wire_store(p, c.announce_width ? static_cast<int32_t>(sizeof(T)) : length);
    wire_store(p + 4, load<T>(at));
    return p + 4 + sizeof(T);
}
inline unsigned char* put_bytes_value(unsigned char* p, const unsigned char* bytes, int32_t length) {
    if (length <= 0) return put_null_value(p);
    wire_store(p, length);
    copy_value_bytes(p + 4, bytes, length);
    return p + 4 + length;
}

// Row `row` of one slot into room known to be there, the cursor moved on.
// Returns the position after it.
template <bool typed>
inline unsigned char* put_element(unsigned char* p, SlotCursor& c, int row) {
    if (typed) *p++ = c.type_byte;
    switch (c.kind) {
    case RowKind::Null: return put_null_value(p);
    case RowKind::Int8: return put_fixed_value<int8_t>(p, c, c.lengths[row]);
    case RowKind::Int16: return put_fixed_value<int16_t>(p, c, c.lengths[row]);
    case RowKind::Int32: return put_fixed_value<int32_t>(p, c, c.lengths[row]);
    case RowKind::Int64: return put_fixed_value<int64_t>(p, c, c.lengths[row]);
    case RowKind::Packed: {
        const int32_t length = c.lengths[row];
        return put_bytes_value(p, step_packed(c, length), length);
    }
    case RowKind::CountPrefixed: return put_bytes_value(p, step_count_prefixed(c) + kLengthPrefix, c.lengths[row]);
    case RowKind::BinaryPrefixed: {
        const int32_t length = c.lengths[row];
        return put_bytes_value(p, step_binary_prefixed(c, length) + kLengthPrefix, length);
    }
    }
    return p;
}

// The cursors of a batch and the fields of the row being put. Sets of up to
// kLocalSlots slots need no allocation.
class BatchRows {
public:
    explicit BatchRows(const KVCSParam* set) : count_(set->param_count) {
        if (count_ > kLocalSlots) {
            heap_ = static_cast<Slot*>(kvc_malloc(sizeof(Slot) * static_cast<size_t>(count_)));
            slots_ = heap_;
        }
        for (int slot = 0; slots_ != nullptr && slot < count_; ++slot) slots_[slot].cursor = cursor_of(set, slot);
    }
    ~BatchRows() { free(heap_); }
    BatchRows(const BatchRows&) = delete;
    BatchRows& operator=(const BatchRows&) = delete;

    bool ready() const { return slots_ != nullptr; }
    int count() const { return count_; }
    const SlotCursor& cursor(int slot) const { return slots_[slot].cursor; }
    const RowField& field(int slot) const { return slots_[slot].field; }

    // Bytes enough for every room test of the block rule to pass for row
    // `row`, whose elements the cursors are on: a field needs at most 5 bytes
    // more than the largest of its length, its value bytes and its prefix.
    int64_t row_room(int row) const {
        int64_t room = int64_t{5} * count_;
        for (int slot = 0; slot < count_; ++slot) {
            const SlotCursor& c = slots_[slot].cursor;
            if (c.kind == RowKind::Null) continue;
            const int32_t length = c.lengths[row];
            room += std::max<int32_t>(length, c.value_width);
            if (c.form == Form::Prefixed && length > 0) room += std::max<int64_t>(0, int64_t{load<int32_t>(c.next)} - length);
        }
        return room;
    }
    // Puts row `row` into room known to be there, and moves the cursors on.
    // Returns the position after it.
    template <bool typed>
    unsigned char* put_row(unsigned char* p, int row) {
        for (int slot = 0; slot < count_; ++slot) p = put_element<typed>(p, slots_[slot].cursor, row);
        return p;
    }
    // Reads row `row` for the field-by-field paths, moving the cursors on.
    void take_row(int row) {
        for (int slot = 0; slot < count_; ++slot) slots_[slot].field = take_field(slots_[slot].cursor, row);
    }
    // Bytes the row takes on the wire, every value null when all_null.
    int64_t wire_size(bool typed, bool all_null) const {
        int64_t size = 0;
        for (int slot = 0; slot < count_; ++slot) size += (typed ? 1 : 0) + 4 + (all_null ? 0 : slots_[slot].field.n);
        return size;
    }
    // The prefix value of an element that carries one, the second room test
    // of the block rule.
    int64_t element_prefix(int slot) const { return element_prefix(slots_[slot]); }

private:
    static constexpr int kLocalSlots = 64;
    struct Slot {
        SlotCursor cursor;
        RowField field;
    };
    static int64_t element_prefix(const Slot& s) {
        const RowField& f = s.field;
        return s.cursor.form == Form::Prefixed && f.n > 0 ? load<int32_t>(f.value) : 0;
    }

    int count_;
    Slot local_[kLocalSlots];
    Slot* heap_ = nullptr;
    Slot* slots_ = local_;
};

template <typename Sink>
void put_field(Sink& out, const SlotCursor& c, const RowField& f, bool typed, bool all_null) {
    if (typed) out.u8(c.type_byte);
    if (all_null) put_value(out, c.form, f.value, 0, c.announce_width, 0);
    else put_value(out, c.form, f.value, f.length, c.announce_width, f.n);
}

// The row just taken, field by field, straight to the connection (a row
// larger than a block).
void send_row(ConnSink& out, const BatchRows& rows, bool typed, bool all_null) {
    for (int slot = 0; slot < rows.count(); ++slot) put_field(out, rows.cursor(slot), rows.field(slot), typed, all_null);
}

// The block buffer of a batch: whole rows (`complete` bytes) and the row
// being put after them (up to `used`). Its memory is one of the set's kept
// blocks.
class BatchBlock {
public:
    // Without the first buffer every row goes alone (put_row_in_block fails).
    BatchBlock(Conn_Attrs* conn, KVCSParam* set) : conn_(conn), set_(set) { grow(kBlockSize); }
    ~BatchBlock() { give_block(set_, buffer_); }
    BatchBlock(const BatchBlock&) = delete;
    BatchBlock& operator=(const BatchBlock&) = delete;

    // Room for `need` more bytes of the current row. When it is not there the
    // whole rows held so far are sent and false tells the caller to put the
    // row again from its first slot; a row alone in the block enlarges it.
    // False with no rows held: the buffer cannot grow (the row goes alone).
    bool reserve(int64_t need) {
        if (used_ + need <= size_) return true;
        if (complete_ > 0) {
            send(complete_);
            return false;
        }
        return grow(size_ + need);
    }
    // The bytes a field really takes, which a fixed-width value whose
    // length entry is below its width can exceed: room without a flush.
    bool fit(int64_t bytes) { return used_ + bytes <= size_ || grow(used_ + bytes); }
    // Whether `room` more bytes are there without sending or growing.
    bool has_room(int64_t room) const { return used_ + room <= size_; }
    BlockSink sink() { return BlockSink{data_, static_cast<int>(used_)}; }
    unsigned char* end() { return data_ + used_; }
    void set_end(const unsigned char* end) { used_ = end - data_; }
    void put_done(const BlockSink& sink) { used_ = sink.pos; }
    void drop_row() { used_ = complete_; }
    // After a row: a block with less than the headroom left goes out.
    void end_row() {
        if (used_ > size_ - kBlockHeadroom || used_ > kBlockSize) send(used_);
        complete_ = used_;
    }
    void finish() {
        if (complete_ > 0) send(complete_);
    }
    bool empty() const { return complete_ == 0; }

private:
    // The block's int32 length sits in front of its rows in the same buffer,
    // so that a block goes out as one write.
    static constexpr int kLengthBytes = 4;

    bool grow(int64_t size) {
        if (size > INT32_MAX - kLengthBytes) return false;
        auto* bigger = static_cast<unsigned char*>(take_block(set_, size + kLengthBytes));
        if (bigger == nullptr) return false;
        if (used_ > 0) memcpy(bigger + kLengthBytes, data_, static_cast<size_t>(used_));
        give_block(set_, buffer_);
        buffer_ = bigger;
        data_ = buffer_ + kLengthBytes;
        size_ = size;
        return true;
    }
    void send(int64_t count) {
        wire_store(buffer_, static_cast<int32_t>(count));
        rh_send(conn_, buffer_, static_cast<int>(count + kLengthBytes));
        used_ = complete_ = 0;
    }

    Conn_Attrs* conn_;
    KVCSParam* set_;
    unsigned char* buffer_ = nullptr;
    unsigned char* data_ = nullptr;
    int64_t size_ = 0;
    int64_t used_ = 0;
    int64_t complete_ = 0;
};

// Puts the row just taken into the block by the block rule, testing the room
// field by field. False when the row cannot be buffered at all.
bool put_row_in_block(BatchBlock& block, const BatchRows& rows, bool typed, bool all_null) {
    for (bool restarted = false;; restarted = true) {
        bool placed = true;
        for (int slot = 0; slot < rows.count() && placed; ++slot) {
            const RowField& f = rows.field(slot);
            const int32_t length = all_null ? 0 : f.length;
            const int32_t n = all_null ? 0 : f.n;
            placed = block.reserve(static_cast<int64_t>(length) + 5) &&
                     block.reserve(all_null ? 0 : rows.element_prefix(slot)) && block.fit((typed ? 1 : 0) + 4 + n);
            if (!placed) break;
            BlockSink sink = block.sink();
            put_field(sink, rows.cursor(slot), f, typed, all_null);
            block.put_done(sink);
        }
        if (placed) return true;
        block.drop_row();
        // A second failure, with no rows left to send, is a buffer that cannot grow.
        if (restarted || !block.empty()) return false;
    }
}

// Rows 1 and up, in blocks of whole rows. A row that cannot be buffered goes
// out as a block of its own, written field by field.
void put_batch_rows(Conn_Attrs* conn, KVCSParam* set, bool typed) {
    BatchRows rows(set);
    if (!rows.ready()) {   // the header is out: the rows cannot follow
        rh_fail_stream(conn);
        return;
    }
    rows.take_row(0);   // row 0 went with the header
    BatchBlock block(conn, set);
    constexpr int64_t kLargestFramedRow = INT32_MAX - kBlockSize;
    for (int row = 1; row < set->array_size; ++row) {
        if (block.has_room(rows.row_room(row))) {   // no room test of the row can fail: put it at once
            block.set_end(typed ? rows.put_row<true>(block.end(), row) : rows.put_row<false>(block.end(), row));
            block.end_row();
            continue;
        }
        rows.take_row(row);
        // A row that no block length can frame goes as nulls.
        const bool all_null = rows.wire_size(typed, false) > kLargestFramedRow;
        if (put_row_in_block(block, rows, typed, all_null)) {
            block.end_row();
            continue;
        }
        block.finish();
        ConnSink out{conn};
        out.i32(static_cast<int32_t>(rows.wire_size(typed, all_null)));
        send_row(out, rows, typed, all_null);
    }
    block.finish();
}

}  // namespace

// =============================================================================
// Parameter sets
// =============================================================================

KVCSParam* new_param_set(int32_t origin) {
    KVCSParam* set = static_cast<KVCSParam*>(hr_malloc0(sizeof(KVCSParam)));
    if (set == nullptr) return nullptr;
    set->handle_kind = KVC_HANDLE_PARAMS;
    set->origin = origin;
    return set;
}

KVCSParam* resolve_param_handle(void* handle, char*** error_slot) {
    if (error_slot != nullptr) *error_slot = nullptr;
    if (handle == nullptr) return nullptr;
    const int32_t kind = *static_cast<int32_t*>(handle);
    if (kind == KVC_HANDLE_PARAMS) {
        KVCSParam* set = static_cast<KVCSParam*>(handle);
        if (error_slot != nullptr) *error_slot = &set->error_text;
        return set;
    }
    if (kind != KVC_HANDLE_CONNECTION) return nullptr;
    Conn_Attrs* conn = static_cast<Conn_Attrs*>(handle);
    if (error_slot != nullptr) *error_slot = &conn->error_text;
    if (conn->bound_params == nullptr) bind_params_to_conn(conn, new_param_set(PARAMS_IMPLICIT));
    return conn->bound_params;
}

void kvc_freeparams(KVCSParam* set) {
    if (set == nullptr) return;
    if (set->array_size > 0) {   // array bindings are discarded whole
        release_storage(set);
        return;
    }
    bool has_output = false;
    for (int slot = 0; slot < set->param_count; ++slot) {
        const int direction = slot_direction(set, slot);
        if (is_output_direction(direction)) {
            has_output = true;   // its buffers still receive the reply's values
            continue;
        }
        if (direction == PARAM_INPUT) release_input_copy(set, slot);
        if (set->names != nullptr) {
            free(set->names[slot]);
            set->names[slot] = nullptr;
        }
    }
    if (!has_output) release_storage(set);
}

void kvc_free_re_outparams(KVCSParam* set) {
    if (set != nullptr) release_storage(set);
}

void free_param_set(KVCSParam* set) {
    if (set == nullptr) return;
    Conn_Attrs* conn = set->bound_conn;
    if (conn != nullptr && conn->bound_params == set) conn->bound_params = nullptr;
    release_storage(set);
    drop_kept_blocks(set);
    free(set->error_text);
    free(set);
}

void bind_params_to_conn(Conn_Attrs* conn, KVCSParam* set) {
    KVCSParam* old = conn->bound_params;
    if (old != nullptr && old != set) {
        if (old->origin != PARAMS_CALLER) free_param_set(old);
        else old->bound_conn = nullptr;
    }
    if (set != nullptr) {
        Conn_Attrs* elsewhere = set->bound_conn;
        if (elsewhere != nullptr && elsewhere != conn && elsewhere->bound_params == set)
            elsewhere->bound_params = nullptr;
        set->bound_conn = conn;
    }
    conn->bound_params = set;
}

void release_bound_params(Conn_Attrs* conn) {
    if (conn != nullptr) bind_params_to_conn(conn, nullptr);
}

int check_prepared_params_bound(Conn_Attrs* conn) {
    const KVCSParam* set = conn != nullptr ? conn->bound_params : nullptr;
    if (set == nullptr || set->origin != PARAMS_PREPARED || set->param_count < 1 ||
        set->row_values != nullptr)
        return 0;
    kvc_set_text(&conn->error_text, param_text::kPreparedUnbound);
    return KVC_PARAMS_UNBOUND;
}

// Reads the description of a prepared statement's parameters. Every count
// and name length is checked before anything is allocated. 0; -4 when the
// stream broke or announced impossible sizes; -5 when the arrays could not be
// allocated (the description is then read and dropped, so the reply stays
// in step).
int recv_params_info2(Conn_Attrs* conn, KVCSParam* set) {
    int32_t count = 0;
    if (!rh_recv_int32(conn, &count)) return KVC_NET_ERROR;
    if (count < 0 || count > kMaxWireCount) return rh_fail_stream(conn);
    release_storage(set);
    const size_t n = static_cast<size_t>(count);
    set->names = alloc_zeroed<char*>(n);
    set->positions = alloc_zeroed<int32_t>(n);
    set->c_types = alloc_zeroed<int32_t>(n);
    set->buffer_lengths = alloc_zeroed<int32_t>(n);
    bool keep = set->names != nullptr && set->positions != nullptr && set->c_types != nullptr &&
                set->buffer_lengths != nullptr;
    if (!keep) release_storage(set);
    for (int32_t entry = 0; entry < count; ++entry) {
        int32_t name_length = 0;
        if (!rh_recv_int32(conn, &name_length)) return KVC_NET_ERROR;
        if (name_length < 0 || name_length > kMaxNameBytes) return rh_fail_stream(conn);
        char* name = keep ? alloc_zeroed<char>(static_cast<size_t>(name_length) + 1) : nullptr;
        if (keep && name == nullptr) {   // read on without storing, so the reply stays in step
            release_storage(set);
            keep = false;
        }
        const bool name_read = name != nullptr ? rh_recv(conn, name, name_length) == 1
                                               : rh_recv_skip(conn, name_length) == 1;
        int32_t position = 0, type = 0, length = 0;
        if (!name_read || !rh_recv_int32(conn, &position) || !rh_recv_int32(conn, &type) ||
            !rh_recv_int32(conn, &length)) {
            free(name);
            return KVC_NET_ERROR;
        }
        if (!keep) continue;
        set->names[entry] = name;
        set->positions[entry] = position;
        set->c_types[entry] = type;
        set->buffer_lengths[entry] = length;
        set->param_count = entry + 1;
    }
    return keep ? 0 : KVC_NO_MEMORY;
}

// =============================================================================
// Single binding
// =============================================================================

int kvc_bindparamsbypos(KVCSParam* set, int param_no, int direction, int c_type, void* value,
                        int buffer_length, int* length) {
    if (set == nullptr) return KVC_BAD_HANDLE;
    if (param_no < 1) return KVC_BAD_PARAM_SEQ;
    if (!param_direction_valid(direction)) return KVC_BINDER_REFUSED;
    if (holds_arrays(set)) return refuse(set, KVC_PARAM_REFUSED, param_text::kSingleIntoArray);
    if (!is_prepared_layout(set) && set->param_count > 0 && set->names != nullptr)
        return refuse(set, KVC_PARAM_REFUSED, param_text::kMixedStyles);
    if (is_prepared_layout(set) && param_no > set->param_count) {
        // A prepared set has exactly the described slots and no room beyond.
        kvc_set_textf(&set->error_text, param_text::kBadParamNo, param_no);
        return KVC_BAD_PARAM_NO;
    }
    if (!is_prepared_layout(set) && param_no > set->param_count) {
        const int base = set->param_count == 0 ? 0 : set->slot_capacity;
        const int reach = (base == 0 ? kSlotStep : base) + kSlotStep;
        if (param_no > reach) return KVC_BAD_PARAM_JUMP;
    }
    InputCopy copy;
    if (direction == PARAM_INPUT) {
        const int status = make_input_copy(set, c_type, value, length, &copy);
        if (status != 0) return status;
    }
    if (!is_prepared_layout(set)) {
        if (set->param_count == 0) {
            release_storage(set);
            if (!grow_single_storage(set, kSlotStep, false)) return refuse_no_memory(set);
        }
        if (param_no > set->slot_capacity &&
            !grow_single_storage(set, set->slot_capacity + kSlotStep, false))
            return refuse_no_memory(set);
        if (param_no > set->param_count) set->param_count = param_no;   // passed-over slots stay unbound
    } else if (!ensure_prepared_rows(set)) {
        return refuse_no_memory(set);
    }
    const int slot = param_no - 1;
    store_single(set, slot, direction, c_type, value, buffer_length, length, copy);
    set->positions[slot] = slot;
    return 0;
}

int kvc_bindparamsbyname(KVCSParam* set, const char* name, int direction, int c_type, void* value,
                         int buffer_length, int* /*reserved*/, int* length) {
    if (set == nullptr || name == nullptr) return KVC_BAD_HANDLE;
    if (!param_direction_valid(direction)) return KVC_BINDER_REFUSED;
    if (holds_arrays(set)) return refuse(set, KVC_PARAM_REFUSED, param_text::kSingleIntoArray);
    const bool prepared = is_prepared_layout(set);
    if (!prepared && set->param_count > 0 && set->names == nullptr)
        return refuse(set, KVC_PARAM_REFUSED, param_text::kMixedStyles);
    int slot = -1;
    if (prepared) {
        slot = find_name(set, name, set->param_count);
        if (slot < 0) return KVC_NAME_REFUSED;
    }
    InputCopy copy;
    if (direction == PARAM_INPUT) {
        const int status = make_input_copy(set, c_type, value, length, &copy);
        if (status != 0) return status;
    }
    if (prepared) {
        if (!ensure_prepared_rows(set)) return refuse_no_memory(set);
    } else {
        Owned<char> name_copy(kvc_strdup(name));
        if (!name_copy) return refuse_no_memory(set);
        if (set->param_count == 0) {
            release_storage(set);
            if (!grow_single_storage(set, kSlotStep, true)) return refuse_no_memory(set);
        }
        if (set->param_count >= set->slot_capacity &&
            !grow_single_storage(set, set->slot_capacity + kSlotStep, true))
            return refuse_no_memory(set);
        // Every call appends: the same name twice makes two parameters.
        slot = set->param_count++;
        set->names[slot] = name_copy.release();
    }
    store_single(set, slot, direction, c_type, value, buffer_length, length, copy);
    if (direction == PARAM_INPUT) set->positions[slot] = -1;
    return 0;
}

// =============================================================================
// Array binding
// =============================================================================

int kvc_bindparamarraybypos(KVCSParam* set, int param_no, int param_total, int direction,
                            int c_type, int array_size, void* values, int64_t total_size,
                            int* lengths) {
    if (set == nullptr) return KVC_BAD_HANDLE;
    if (param_no < 1) return KVC_BAD_PARAM_SEQ;
    if (values == nullptr || lengths == nullptr) return KVC_BAD_HANDLE;
    int status = check_array_size(set, array_size);
    if (status != 0) return status;
    if (set->param_count == 0) {
        if ((status = check_param_total(set, param_no, param_total)) != 0) return status;
        if (param_no > param_total) {
            kvc_set_textf(&set->error_text, param_text::kBadArrayParamNo, param_no, param_total);
            return KVC_BAD_PARAM_NO;
        }
        if (!alloc_array_storage(set, array_size, param_total, false))
            return refuse_no_memory(set);
    } else {
        if (set->origin == PARAMS_PREPARED || set->names != nullptr)
            return refuse(set, KVC_PARAM_REFUSED, set->origin == PARAMS_PREPARED
                                                      ? param_text::kArrayIntoSingle
                                                      : param_text::kMixedStyles);
        if ((status = check_array_mode(set, array_size)) != 0) return status;
    }
    if (param_no > set->slot_capacity || param_no > param_total) {
        kvc_set_textf(&set->error_text, param_text::kBadArrayParamNo, param_no, set->slot_capacity);
        return KVC_BAD_PARAM_NO;
    }
    if (param_no > set->param_count) set->param_count = param_no;
    if (direction == PARAM_RETURN_VALUE) return 0;
    if (direction != PARAM_INPUT) return KVC_BINDER_REFUSED;
    return store_array(set, {param_no - 1, c_type, param_no, array_size, values, total_size,
                             lengths, true, nullptr});
}

int kvc_bindparamarraybyname(KVCSParam* set, const char* name, int param_total, int direction,
                             int c_type, int array_size, void* values, int total_size,
                             int* lengths) {
    if (set == nullptr || name == nullptr) return KVC_BAD_HANDLE;
    int status = check_array_size(set, array_size);
    if (status != 0) return status;
    int slot = -1;
    const bool prepared = is_prepared_layout(set);
    if (prepared) {
        if (set->row_values != nullptr && (status = check_array_mode(set, array_size)) != 0)
            return status;
        slot = find_name(set, name, set->param_count);
        if (slot < 0) {
            kvc_set_textf(&set->error_text, param_text::kNameNotPrepared, name);
            return KVC_NAME_REFUSED;
        }
        if (slot + 1 > param_total) {
            printf("params bind num %d beyanged given num %d \n", slot + 1, param_total);
            kvc_set_textf(&set->error_text, param_text::kBadArrayParamNo, slot + 1, param_total);
            return KVC_BAD_PARAM_NO;
        }
        if (set->row_values == nullptr) {
            if (!alloc_binding_arrays(set, set->param_count)) return refuse_no_memory(set);
            set->array_size = array_size;
        }
    } else {
        if (set->param_count == 0) {
            if ((status = check_param_total(set, 1, param_total)) != 0) return status;
            if (!alloc_array_storage(set, array_size, param_total, true))
                return refuse_no_memory(set);
        } else {
            if (set->names == nullptr) return refuse(set, KVC_PARAM_REFUSED, param_text::kMixedStyles);
            if ((status = check_array_mode(set, array_size)) != 0) return status;
        }
        // Names fill the slots in order; a name is array-bound once per set.
        slot = 0;
        while (slot < set->slot_capacity && set->names[slot] != nullptr) {
            if (strcasecmp(set->names[slot], name) == 0) return KVC_NAME_REFUSED;
            ++slot;
        }
        if (slot >= set->slot_capacity) {
            kvc_set_textf(&set->error_text, param_text::kBadArrayParamNo, slot + 1, set->slot_capacity);
            return KVC_BAD_PARAM_NO;
        }
    }
    // Only inputs travel in a batch; the others are accepted once the storage
    // and the name have been checked, and bind nothing.
    if (direction != PARAM_INPUT) return 0;
    if (values == nullptr || lengths == nullptr) return KVC_BAD_HANDLE;
    Owned<char> name_copy(prepared ? nullptr : kvc_strdup(name));
    if (!prepared && !name_copy) return refuse_no_memory(set);
    status = store_array(set, {slot, c_type, -1, array_size, values, total_size, lengths, false,
                               &name_copy});
    if (status != 0) return status;
    if (slot + 1 > set->param_count) set->param_count = slot + 1;
    return 0;
}

// =============================================================================
// Wire encoding
// =============================================================================

int send_params(Conn_Attrs* conn, KVCSParam* set) {
    if (conn == nullptr || set == nullptr) return 0;
    ConnSink out{conn};
    if (set->array_size > 0) {
        // The header already announced param_count values: an array-bound set
        // sent as single values gives its first row rather than nothing.
        put_batch_header(out, set);
    } else {
        for (int slot = 0; slot < set->param_count; ++slot) {
            const int direction = slot_direction(set, slot);
            if (direction == PARAM_RETURN_VALUE) continue;
            put_name(out, set, slot);
            if (!param_direction_valid(direction)) {
                put_unbound_slot(out);
                continue;
            }
            const int c_type = set->c_types[slot];
            const TypeCoding& coding = coding_of(c_type);
            out.i16(static_cast<int16_t>(direction));
            out.i16(coding.server_type);
            const void* value = set->row_values[0][slot];
            const int32_t* length_ptr = set->length_ptrs[slot];
            int32_t length = length_ptr != nullptr ? *length_ptr : 0;
            if (coding.single == Form::Lob) {
                if (put_lob(out, c_type, value) != 0) return -1;
                continue;
            }
            // An output buffer is never read past the size the caller gave.
            const int32_t room = set->buffer_lengths[slot];
            if (direction != PARAM_INPUT && coding.single == Form::Bytes && room > 0 && length > room)
                length = room;
            put_value(out, coding.single, value, length, coding.single_width);
        }
    }
    if (set->origin != PARAMS_CALLER) kvc_freeparams(set);
    return 0;
}

void kvc_sendparamS(Conn_Attrs* conn, KVCSParam* set) {
    if (conn == nullptr || set == nullptr || set->array_size <= 0) return;
    const bool typed = strcmp(conn->protocol_version, "201") != 0;
    ConnSink out{conn};
    put_batch_header(out, set);
    put_batch_rows(conn, set, typed);
    // Every set is emptied by a batch, the caller's included.
    release_storage(set);
}

void kvc_sendparam() {}

void kvc_recv_outparam(Conn_Attrs* /*conn*/, KVCSParam* /*set*/) {}
