// Type codes, row bits and slots, the result memory pool, the single-value
// text and large-object storage with its descriptor fetch.
#include "kvc_utility.h"

#include "kvc.h"
#include "kvc_inner.h"
#include "kvc_rowset.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

// =============================================================================
// Type codes and statement classes
// =============================================================================


// =============================================================================
// Result memory pool
// =============================================================================


// =============================================================================
// Row bits, setters and getter
// =============================================================================


// =============================================================================
// Single-value text
// =============================================================================


// =============================================================================
// Large-object storage and descriptor fetch
// =============================================================================

// The descriptor fetch speaks the command protocol.
#include "kvc_command.h"

namespace {

// A column description never holds more columns than this; a larger count
// means the stream is not what it claims to be.
constexpr int32_t kMaxLobReplyColumns = 4000;

// Descriptor text: 13 characters name the object, the 14th is unused, the
// rest is the length limit handed back to the server as it stands.
constexpr size_t kLobIdLength = 13;
constexpr size_t kLobLimitStart = 14;

lob_chunk* new_lob_chunk(int32_t index) {
    lob_chunk* chunk = static_cast<lob_chunk*>(hr_malloc0(sizeof(lob_chunk)));
    if (chunk == nullptr) return nullptr;
    // A fresh calloc of this size is served from untouched zero pages: the
    // chunk is already clear and costs nothing until it is written.
    chunk->chunk_data = static_cast<unsigned char*>(calloc(1, static_cast<size_t>(LOB_CHUNK_SIZE)));
    if (chunk->chunk_data == nullptr) {
        free(chunk);
        return nullptr;
    }
    chunk->chunk_index = index;
    return chunk;
}

// The last chunk of the chain. Sending walks current_chunk along the chain and
// normally leaves it on the last one; a send cut short may not.
lob_chunk* last_lob_chunk(KolvaLob_* lob) {
    lob_chunk* chunk = lob->current_chunk != nullptr ? lob->current_chunk : lob->first_chunk;
    while (chunk != nullptr && chunk->chunk_next != nullptr) chunk = chunk->chunk_next;
    return chunk;
}

// Where the next appended byte goes, and how many bytes fit there before the
// chunk ends; a new chunk is linked when the last one is full. Null when that
// chunk cannot be allocated. Deciding by capacity rather than by the offset
// keeps a chunk made for bytes that never arrived in use for the next ones.
unsigned char* lob_tail_room(KolvaLob_* lob, int64_t* room) {
    lob_chunk* last = last_lob_chunk(lob);
    if (last == nullptr) {
        // No chunk, no bytes, whatever the counters say.
        lob->chunk_count = 0;
        lob->total_length = 0;
    }
    int64_t capacity = static_cast<int64_t>(lob->chunk_count) * LOB_CHUNK_SIZE;
    if (lob->total_length > capacity) return nullptr;   // counters out of step with the chain
    if (lob->total_length == capacity) {
        lob_chunk* chunk = new_lob_chunk(lob->chunk_count);
        if (chunk == nullptr) return nullptr;
        if (last == nullptr) {
            lob->first_chunk = chunk;
        } else {
            last->chunk_next = chunk;
        }
        last = chunk;
        ++lob->chunk_count;
        capacity += LOB_CHUNK_SIZE;
    }
    lob->current_chunk = last;
    *room = capacity - lob->total_length;
    return last->chunk_data + (LOB_CHUNK_SIZE - *room);
}

// Ends the fetch at a tag it does not read itself: 'K' closes the reply, any
// other message goes back to the stream and the reply is read to its 'K', so
// the next request starts on a boundary.
int finish_lob_reply(Conn_Attrs* conn, char tag, int status) {
    if (tag == 'K') return status;
    rh_push_back(conn, tag);
    return drain_reply(conn) == 0 ? status : -4;
}

// Reads and discards the column description that precedes the content.
int skip_lob_columns(Conn_Attrs* conn) {
    int32_t count = 0;
    if (!rh_recv_int32(conn, &count)) return -4;
    if (count < 0 || count > kMaxLobReplyColumns) return -4;
    if (count == 0) return 0;
    FieldInfo* columns =
        static_cast<FieldInfo*>(hr_malloc0(sizeof(FieldInfo) * static_cast<size_t>(count)));
    if (columns == nullptr) return -3;
    int status = 0;
    int32_t used = 0;   // entries that may hold a name, a failed one included
    while (used < count && status == 0) {
        // A column cut short leaves the stream at an unknown place.
        if (recv_attr_des_item(conn, &columns[used++]) != 0) status = -4;
    }
    free_fields_info(columns, used);
    return status;
}

// Reads content pieces up to the 0 marker straight into the LOB's chunks.
// A piece over 1 MiB is refused (-4), and after a refusal or a chunk that
// cannot be allocated (-3) the remaining pieces are read and dropped so that
// the reply stays in step. *stream_ok turns false when the stream broke.
int recv_lob_pieces(Conn_Attrs* conn, KolvaLob_* lob, bool* stream_ok) {
    int status = 0;
    *stream_ok = false;
    for (;;) {
        int32_t marker = 0;
        if (!rh_recv_int32(conn, &marker)) return -4;
        if (marker == 0) break;
        int32_t length = 0;
        if (!rh_recv_int32(conn, &length)) return -4;
        if (length < 0) return -4;   // nothing can be skipped by a negative length
        if (length > LOB_CHUNK_SIZE && status == 0) status = -4;
        int64_t left = length;
        while (left > 0) {
            int64_t room = 0;
            // Once a piece was refused nothing more is stored: a hole would
            // shift every byte after it.
            unsigned char* dst = status == 0 ? lob_tail_room(lob, &room) : nullptr;
            if (dst == nullptr) {
                if (status == 0) status = -3;
                if (!rh_recv_skip(conn, left)) return -4;
                break;
            }
            int count = static_cast<int>(left < room ? left : room);
            if (!rh_recv(conn, dst, count)) return -4;
            lob->total_length += count;
            left -= count;
        }
    }
    *stream_ok = true;
    return status;
}

// The reply to "get lob": 'A', a column description, 'R', the pieces, then
// whatever the server sends up to 'K'.
int recv_lob_reply(Conn_Attrs* conn, KolvaLob_* lob) {
    char tag = 0;
    if (!rh_recv_char(conn, &tag)) return -4;
    if (tag != 'A') return finish_lob_reply(conn, tag, 0);
    int status = skip_lob_columns(conn);
    if (status != 0) return status;
    if (!rh_recv_char(conn, &tag)) return -4;
    if (tag != 'R') return finish_lob_reply(conn, tag, 0);
    bool stream_ok = false;
    status = recv_lob_pieces(conn, lob, &stream_ok);
    if (!stream_ok) return -4;
    return drain_reply(conn) == 0 ? status : -4;
}

}  // namespace

int lob_try_append(KolvaLob_* lob, const void* data, int64_t n) {
    if (lob == nullptr || data == nullptr || n <= 0) return 0;
    const unsigned char* src = static_cast<const unsigned char*>(data);
    while (n > 0) {
        int64_t room = 0;
        unsigned char* dst = lob_tail_room(lob, &room);
        if (dst == nullptr) return -5;
        int64_t count = n < room ? n : room;
        memcpy(dst, src, static_cast<size_t>(count));
        lob->total_length += count;
        src += count;
        n -= count;
    }
    return 0;
}

void lob_append(KolvaLob_* lob, const void* data, int64_t n) { lob_try_append(lob, data, n); }

void lob_release_content(KolvaLob_* lob) {
    if (lob == nullptr) return;
    lob_chunk* chunk = lob->first_chunk;
    while (chunk != nullptr) {
        lob_chunk* next = chunk->chunk_next;
        free(chunk->chunk_data);
        free(chunk);
        chunk = next;
    }
    free(lob->descriptor);
    free(lob->error_text);
    int32_t kind = lob->handle_kind;
    memset(lob, 0, sizeof *lob);
    lob->handle_kind = kind;
}

int KVGetCLobDesc(Conn_Attrs* conn, KolvaLob_* lob) {
    if (conn == nullptr || lob == nullptr || lob->descriptor == nullptr) return -3;
    const char* descriptor = lob->descriptor;
    // Without the length limit the command cannot be formed: nothing is sent.
    if (strlen(descriptor) <= kLobLimitStart) return -3;
    char* command = nullptr;
    kvc_set_textf(&command, "get lob '%.*s' offset 0 limit %s ", static_cast<int>(kLobIdLength),
                  descriptor, descriptor + kLobLimitStart);
    if (command == nullptr) return -3;

    ConnLockGuard lock(conn);
    sendCommand_n(conn, command, 0);
    rh_flush(conn);
    free(command);
    return recv_lob_reply(conn, lob);
}

