#pragma once
#include <cstdint>

// Growable byte buffer with change detection. Storage is zeroed when it
// grows; on allocation failure an operation leaves the buffer untouched.
struct ByteBuffer {
    uint8_t* data = nullptr;
    int32_t used = 0;
    int32_t capacity = 0;
    uint8_t compare = 0;  // change detection enabled
    uint8_t changed = 0;  // last detecting assignment changed the contents

    ByteBuffer() = default;
    ~ByteBuffer() { Free(); }
    ByteBuffer(const ByteBuffer&) = delete;
    ByteBuffer& operator=(const ByteBuffer&) = delete;
    ByteBuffer(ByteBuffer&& other) noexcept;
    ByteBuffer& operator=(ByteBuffer&& other) noexcept;

    // Appends n bytes; ignored when n <= 0 or bytes is null.
    bool Append(const void* bytes, int32_t n, int32_t slack);
    // Replaces the contents with n bytes.
    bool Assign(const void* bytes, int32_t n, int32_t slack);
    // Assign that also sets `changed` when compare is on and nothing was
    // held or the bytes differ; clears it otherwise.
    bool AssignDetect(const void* bytes, int32_t n, int32_t slack);
    // AssignDetect of a NUL-terminated text, terminator included, slack 260.
    // An empty (or null) text only clears the changed flag.
    bool AssignText(const char* text);
    // Releases the storage and zeroes every field.
    void Free();

    // The contents as a C string (empty when nothing is held).
    const char* Text() const { return data != nullptr && used > 0 ? reinterpret_cast<const char*>(data) : ""; }
};
