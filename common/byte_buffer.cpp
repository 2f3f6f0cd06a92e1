#include "common/byte_buffer.h"

#include <cstdlib>
#include <cstring>
#include <utility>

#include "common/limits.h"

ByteBuffer::ByteBuffer(ByteBuffer&& other) noexcept
    : data(std::exchange(other.data, nullptr)),
      used(std::exchange(other.used, 0)),
      capacity(std::exchange(other.capacity, 0)),
      compare(std::exchange(other.compare, 0)),
      changed(std::exchange(other.changed, 0)) {}

ByteBuffer& ByteBuffer::operator=(ByteBuffer&& other) noexcept {
    if (this != &other) {
        Free();
        data = std::exchange(other.data, nullptr);
        used = std::exchange(other.used, 0);
        capacity = std::exchange(other.capacity, 0);
        compare = std::exchange(other.compare, 0);
        changed = std::exchange(other.changed, 0);
    }
    return *this;
}

namespace {

// Size of a new block, or -1 when it would not fit the 32-bit fields.
int64_t BlockSize(int64_t keep, int64_t n, int64_t slack) {
    if (slack < 0) slack = 0;
    const int64_t size = keep + n + slack + 1;
    return size > INT32_MAX ? -1 : size;
}

}  // namespace

bool ByteBuffer::Append(const void* bytes, int32_t n, int32_t slack) {
    if (n <= 0 || bytes == nullptr) return false;
    if (static_cast<int64_t>(capacity) < static_cast<int64_t>(used) + n + 1) {
        const int64_t size = BlockSize(used, n, slack);
        if (size < 0) return false;
        auto* block = static_cast<uint8_t*>(std::calloc(static_cast<size_t>(size), 1));
        if (block == nullptr) return false;
        if (data != nullptr && used > 0) std::memcpy(block, data, static_cast<size_t>(used));
        std::free(data);
        data = block;
        capacity = static_cast<int32_t>(size);
    }
    std::memcpy(data + used, bytes, static_cast<size_t>(n));
    used += n;
    data[used] = 0;
    return true;
}

bool ByteBuffer::Assign(const void* bytes, int32_t n, int32_t slack) {
    if (n <= 0 || bytes == nullptr) return false;
    if (capacity < n + 1) {
        const int64_t size = BlockSize(0, n, slack);
        if (size < 0) return false;
        auto* block = static_cast<uint8_t*>(std::calloc(static_cast<size_t>(size), 1));
        if (block == nullptr) return false;
        std::free(data);
        data = block;
        capacity = static_cast<int32_t>(size);
    }
    std::memmove(data, bytes, static_cast<size_t>(n));
    used = n;
    data[used] = 0;
    return true;
}

bool ByteBuffer::AssignDetect(const void* bytes, int32_t n, int32_t slack) {
    if (n <= 0 || bytes == nullptr) {
        changed = 0;
        return false;
    }
    const bool differs =
        data == nullptr || used == 0 || used != n || std::memcmp(data, bytes, static_cast<size_t>(n)) != 0;
    if (!Assign(bytes, n, slack)) return false;
    changed = (compare != 0 && differs) ? 1 : 0;
    return true;
}

bool ByteBuffer::AssignText(const char* text) {
    if (text == nullptr || text[0] == '\0') {
        changed = 0;
        return false;
    }
    const size_t length = std::strlen(text) + 1;
    if (length > INT32_MAX) return false;
    return AssignDetect(text, static_cast<int32_t>(length), kTextSlack);
}

void ByteBuffer::Free() {
    std::free(data);
    data = nullptr;
    used = 0;
    capacity = 0;
    compare = 0;
    changed = 0;
}
