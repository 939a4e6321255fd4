#include "lobs.h"

#include <cstdio>

#include "budget.h"

namespace kvcd {

std::string LobCache::add(char form, const void* data, size_t len) {
    char key[16];
    std::snprintf(key, sizeof key, "%c%012llX", form, static_cast<unsigned long long>(next_++));
    // Oldest values go first; the newest one always stays, whatever its size.
    while (!order_.empty() && held_ + len > capacity_) {
        auto it = values_.find(order_.front());
        held_ -= it->second->size();
        MemoryBudget::release(it->second->size());
        values_.erase(it);
        order_.pop_front();
    }
    if (!MemoryBudget::reserve(len)) return std::string();
    auto value = std::make_shared<const std::string>(static_cast<const char*>(data), len);
    values_.emplace(key, std::move(value));
    order_.emplace_back(key);
    held_ += len;
    return std::string(key) + " " + std::to_string(len);
}

LobCache::~LobCache() { MemoryBudget::release(held_); }

std::shared_ptr<const std::string> LobCache::find(const std::string& key) const {
    auto it = values_.find(key);
    return it == values_.end() ? nullptr : it->second;
}

}  // namespace kvcd
