// Construction and look-up of the per-stream and per-PID records.
#include <algorithm>
#include <cstring>
#include <new>

#include "tables/stream_context.h"

PidTable::PidTable() {
    std::fill(std::begin(index_), std::end(index_), nullptr);
}

PidEntry* PidTable::Create(uint16_t pid) {
    pid &= 0x1FFF;
    // A new PID is the only allocation on the per-packet path.
    auto entry = std::unique_ptr<PidEntry>(new (std::nothrow) PidEntry());
    if (!entry) return nullptr;
    entry->pid = pid;
    entry->pidCopy = pid;
    entry->noCounterSeen = 1;
    try {
        list_.push_back(std::move(entry));
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
    index_[pid] = list_.back().get();
    return index_[pid];
}

void PidTable::Remove(uint16_t pid) {
    pid &= 0x1FFF;
    PidEntry* target = index_[pid];
    if (target == nullptr) return;
    index_[pid] = nullptr;
    auto it = std::find_if(list_.begin(), list_.end(), [target](const auto& e) { return e.get() == target; });
    if (it != list_.end()) list_.erase(it);  // frees the entry and its section buffer
}

StreamContext::StreamContext() {
    std::fill(std::begin(pcrPids), std::end(pcrPids), uint16_t{0xFFFF});
}

StreamContext* FindOrCreateStreamContext(StreamContextList& list, uint32_t streamId) {
    for (auto& context : list) {
        if (context->streamId == streamId) return context.get();
    }
    auto context = std::unique_ptr<StreamContext>(new (std::nothrow) StreamContext());
    if (!context) return nullptr;
    context->streamId = streamId;
    try {
        list.push_back(std::move(context));
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
    return list.back().get();
}

bool RegisterPcrPid(StreamContext& context, uint16_t pid) {
    for (uint16_t& slot : context.pcrPids) {
        if (slot == pid) return true;
        if (slot == 0xFFFF) {
            slot = pid;
            ++context.rolesVersion;
            return true;
        }
    }
    return false;
}
