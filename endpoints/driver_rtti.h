#pragma once
// Finding out whether a driver object is an IBonDriver2 without the
// compiler's own down-cast, which only understands objects of its own
// making. Drivers for Windows are MSVC objects: their virtual table is
// preceded by a pointer to MSVC's complete object locator, from which the
// names of all base classes can be read.
#include <cstddef>
#include <cstdint>
#include <optional>

// A loaded image as the pointers inside it see it: `bytes` is readable for
// `size` bytes and sits at run-time address `address` (normally the same
// value as `bytes`; a test can lay out an image for another address).
struct ImageView {
    const uint8_t* bytes = nullptr;
    std::size_t size = 0;
    uint64_t address = 0;
};

// The image of a module loaded from a PE file (its handle is its base
// address); false when the headers do not look like a PE image.
bool ImageFromModule(const void* module, ImageView& image);

// Reads the MSVC run-time type information of the object whose virtual
// table is at `vtableAddress` (pointerSize 4: 32-bit layout with addresses,
// 8: 64-bit layout with image offsets). Empty when no valid complete object
// locator precedes the table; otherwise whether the class, or a base of it
// placed at the object's address, has the decorated name `decoratedName`
// (such as ".?AVIBonDriver2@@"). Every read is checked against the image.
std::optional<bool> MsvcClassHasBase(const ImageView& image, uint64_t vtableAddress, int pointerSize,
                                     const char* decoratedName);

// Whether the words before the virtual table at `vtableAddress` are a
// plausible distance to the whole object and a pointer to
// something laid out like GCC type information (a table pointer followed by
// a pointer to a mangled name, which may carry GCC's leading '*' for a class
// with internal linkage), all inside the image.
bool LooksLikeGccTypeInfo(const ImageView& image, uint64_t vtableAddress, int pointerSize);
