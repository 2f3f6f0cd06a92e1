// MSVC run-time type information, read with bounds checks.
#include "endpoints/driver_rtti.h"

#include <cstring>

namespace {

bool Inside(const ImageView& image, uint64_t address, std::size_t length) {
    if (address < image.address) return false;
    uint64_t offset = address - image.address;
    return offset <= image.size && length <= image.size - offset;
}

std::optional<uint32_t> Read32(const ImageView& image, uint64_t address) {
    if (!Inside(image, address, 4)) return std::nullopt;
    uint32_t value;
    std::memcpy(&value, image.bytes + (address - image.address), 4);
    return value;
}

std::optional<uint64_t> ReadPointer(const ImageView& image, uint64_t address, int pointerSize) {
    if (pointerSize == 4) {
        auto v = Read32(image, address);
        return v ? std::optional<uint64_t>(*v) : std::nullopt;
    }
    if (!Inside(image, address, 8)) return std::nullopt;
    uint64_t value;
    std::memcpy(&value, image.bytes + (address - image.address), 8);
    return value;
}

// A reference inside the type information: an address in the 32-bit
// layout, an offset from the image base in the 64-bit one.
std::optional<uint64_t> ReadReference(const ImageView& image, uint64_t address, int pointerSize) {
    auto v = Read32(image, address);
    if (!v) return std::nullopt;
    return pointerSize == 4 ? uint64_t{*v} : image.address + *v;
}

bool NameEquals(const ImageView& image, uint64_t address, const char* name) {
    std::size_t length = std::strlen(name) + 1;  // terminator included
    if (!Inside(image, address, length)) return false;
    return std::memcmp(image.bytes + (address - image.address), name, length) == 0;
}

constexpr uint32_t kMaxBaseClasses = 1024;

}  // namespace

bool ImageFromModule(const void* module, ImageView& image) {
    if (module == nullptr) return false;
    const auto* base = static_cast<const uint8_t*>(module);
    if (base[0] != 'M' || base[1] != 'Z') return false;
    uint32_t peOffset;
    std::memcpy(&peOffset, base + 0x3C, 4);
    if (peOffset > 0x10000) return false;
    const uint8_t* pe = base + peOffset;
    if (std::memcmp(pe, "PE\0\0", 4) != 0) return false;
    const uint8_t* optional = pe + 4 + 20;
    uint16_t magic;
    std::memcpy(&magic, optional, 2);
    if (magic != 0x10B && magic != 0x20B) return false;
    uint32_t sizeOfImage;
    std::memcpy(&sizeOfImage, optional + 56, 4);  // same place in both optional header forms
    image.bytes = base;
    image.size = sizeOfImage;
    image.address = reinterpret_cast<uintptr_t>(base);
    return true;
}

std::optional<bool> MsvcClassHasBase(const ImageView& image, uint64_t vtableAddress, int pointerSize,
                                     const char* decoratedName) {
    if (pointerSize != 4 && pointerSize != 8) return std::nullopt;
    if (vtableAddress < static_cast<uint64_t>(pointerSize)) return std::nullopt;
    auto locator = ReadPointer(image, vtableAddress - pointerSize, pointerSize);
    if (!locator) return std::nullopt;
    // Complete object locator: signature, offset of this table's subobject,
    // constructor displacement offset, type descriptor, class hierarchy
    // descriptor and, in the 64-bit layout, its own image offset.
    auto signature = Read32(image, *locator);
    auto subobjectOffset = Read32(image, *locator + 4);
    if (!signature || !subobjectOffset) return std::nullopt;
    if (pointerSize == 4) {
        if (*signature != 0) return std::nullopt;
    } else {
        auto self = Read32(image, *locator + 20);
        if (*signature != 1 || !self || image.address + *self != *locator) return std::nullopt;
    }
    auto typeDescriptor = ReadReference(image, *locator + 12, pointerSize);
    auto hierarchy = ReadReference(image, *locator + 16, pointerSize);
    if (!typeDescriptor || !hierarchy) return std::nullopt;
    // A type descriptor is a table pointer, a spare pointer and the
    // decorated name, which for a class begins ".?A".
    uint64_t ownName = *typeDescriptor + 2 * pointerSize;
    if (!Inside(image, ownName, 3) || std::memcmp(image.bytes + (ownName - image.address), ".?A", 3) != 0) {
        return std::nullopt;
    }

    // Class hierarchy descriptor: signature, attributes, base count, array.
    auto count = Read32(image, *hierarchy + 8);
    auto array = ReadReference(image, *hierarchy + 12, pointerSize);
    if (!count || !array || *count > kMaxBaseClasses) return std::nullopt;
    for (uint32_t i = 0; i < *count; ++i) {
        auto baseDescriptor = ReadReference(image, *array + 4ull * i, pointerSize);
        if (!baseDescriptor) return std::nullopt;
        // Base class descriptor: type descriptor, contained bases, then the
        // member displacement (mdisp, pdisp, vdisp).
        auto baseType = ReadReference(image, *baseDescriptor, pointerSize);
        auto mdisp = Read32(image, *baseDescriptor + 8);
        auto pdisp = Read32(image, *baseDescriptor + 12);
        if (!baseType || !mdisp || !pdisp) return std::nullopt;
        if (!NameEquals(image, *baseType + 2 * pointerSize, decoratedName)) continue;
        // Only a base that is not virtual and starts where the object
        // pointer points can be used through the same pointer.
        if (*pdisp == 0xFFFFFFFFu && *mdisp == *subobjectOffset) return true;
    }
    return false;
}

bool LooksLikeGccTypeInfo(const ImageView& image, uint64_t vtableAddress, int pointerSize) {
    if (pointerSize != 4 && pointerSize != 8) return false;
    if (vtableAddress < 2ull * static_cast<uint64_t>(pointerSize)) return false;
    // Before the type information pointer sits the distance from this
    // subobject back to the whole object: zero or a small negative multiple
    // of the pointer size. What precedes a table of another compiler's
    // making seldom has that shape.
    auto offsetToTop = ReadPointer(image, vtableAddress - 2 * pointerSize, pointerSize);
    if (!offsetToTop) return false;
    int64_t distance = pointerSize == 4 ? static_cast<int64_t>(static_cast<int32_t>(*offsetToTop))
                                        : static_cast<int64_t>(*offsetToTop);
    if (distance > 0 || distance < -(int64_t{1} << 20) || distance % pointerSize != 0) return false;
    auto typeInfo = ReadPointer(image, vtableAddress - pointerSize, pointerSize);
    if (!typeInfo || *typeInfo == 0) return false;
    auto tablePointer = ReadPointer(image, *typeInfo, pointerSize);
    auto namePointer = ReadPointer(image, *typeInfo + pointerSize, pointerSize);
    if (!tablePointer || !namePointer || *tablePointer == 0) return false;
    // A mangled class name: a length digit, 'N' (nested name), 'S' (std::)
    // or 'Z' (local class) first, then name characters, all before a
    // terminator inside the image. Where type information is not merged
    // across modules (Windows), GCC puts '*' before the name of a class with
    // internal linkage, such as one in an unnamed namespace, so that it is
    // compared by address only; a driver class is often declared that way.
    uint64_t name = *namePointer;
    if (Inside(image, name, 1) && image.bytes[name - image.address] == '*') ++name;
    for (std::size_t i = 0; i < 1024; ++i) {
        if (!Inside(image, name + i, 1)) return false;
        char c = static_cast<char>(image.bytes[name + i - image.address]);
        if (c == 0) return i > 0;
        bool ok = (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_';
        bool first = (c >= '1' && c <= '9') || c == 'N' || c == 'S' || c == 'Z';
        if (!ok || (i == 0 && !first)) return false;
    }
    return false;
}
