// Large-object values handed out as descriptors, kept per session until the
// client fetches them with "get lob".
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <unordered_map>

namespace kvcd {

// Values up to this size travel inline ('c'/'b' + content) even when the
// login asked for descriptors; the library copies at most one 1 MiB chunk inline.
constexpr size_t kInlineLobMax = 32 * 1024;

class LobCache {
public:
    explicit LobCache(size_t capacity_bytes) : capacity_(capacity_bytes) {}
    ~LobCache();
    LobCache(const LobCache&) = delete;
    LobCache& operator=(const LobCache&) = delete;

    // Keeps a copy of the value and returns its descriptor text: the form
    // character ('C' or 'B') and a 12-character key (13 characters that name
    // the value), one blank, then the length as decimal text.
    std::string add(char form, const void* data, size_t len);
    // Value named by the first 13 characters of a descriptor, or null when
    // unknown or already evicted.
    std::shared_ptr<const std::string> find(const std::string& key) const;

private:
    size_t capacity_;
    size_t held_ = 0;
    uint64_t next_ = 1;
    std::deque<std::string> order_;  // oldest first, for eviction
    std::unordered_map<std::string, std::shared_ptr<const std::string>> values_;
};

}  // namespace kvcd
