// Reading MSVC type information from images laid out by hand as MSVC lays
// them out, in the 32-bit (addresses) and 64-bit (image offsets) forms.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "endpoints/driver_rtti.h"

namespace {

struct FakeImage {
    int pointerSize;
    uint64_t base;
    std::vector<uint8_t> bytes = std::vector<uint8_t>(0x1000, 0);

    // Layout offsets.
    static constexpr uint32_t kTypeClass = 0x100, kTypeDriver2 = 0x140, kTypeDriver = 0x180;
    static constexpr uint32_t kBaseDescriptors = 0x200, kBaseArray = 0x300, kHierarchy = 0x340;
    static constexpr uint32_t kLocator = 0x380, kLocatorSlot = 0x400;

    ImageView View() const { return ImageView{bytes.data(), bytes.size(), base}; }
    uint64_t VTable() const { return base + kLocatorSlot + pointerSize; }

    void Put32(uint32_t offset, uint32_t value) { std::memcpy(bytes.data() + offset, &value, 4); }
    void PutPointer(uint32_t offset, uint64_t value) { std::memcpy(bytes.data() + offset, &value, pointerSize); }
    // An address in the 32-bit form, an offset from the base in the 64-bit one.
    void PutReference(uint32_t offset, uint32_t target) {
        Put32(offset, pointerSize == 4 ? static_cast<uint32_t>(base + target) : target);
    }
    void PutType(uint32_t offset, const char* name) {
        std::strcpy(reinterpret_cast<char*>(bytes.data() + offset + 2 * pointerSize), name);
    }

    // The class CTuner : IBonDriver2 : IBonDriver (or CTuner : IBonDriver).
    FakeImage(int size, uint64_t at, bool second) : pointerSize(size), base(at) {
        PutType(kTypeClass, ".?AVCTuner@@");
        PutType(kTypeDriver2, ".?AVIBonDriver2@@");
        PutType(kTypeDriver, ".?AVIBonDriver@@");
        std::vector<uint32_t> types{kTypeClass};
        if (second) types.push_back(kTypeDriver2);
        types.push_back(kTypeDriver);
        for (uint32_t i = 0; i < types.size(); ++i) {
            uint32_t d = kBaseDescriptors + 28 * i;
            PutReference(d, types[i]);
            Put32(d + 4, static_cast<uint32_t>(types.size() - 1 - i));  // contained bases
            Put32(d + 8, 0);                                            // mdisp
            Put32(d + 12, 0xFFFFFFFF);                                  // pdisp: not a virtual base
            Put32(d + 16, 0);                                           // vdisp
            PutReference(kBaseArray + 4 * i, d);
        }
        Put32(kHierarchy + 8, static_cast<uint32_t>(types.size()));
        PutReference(kHierarchy + 12, kBaseArray);
        Put32(kLocator, pointerSize == 4 ? 0 : 1);
        PutReference(kLocator + 12, kTypeClass);
        PutReference(kLocator + 16, kHierarchy);
        if (pointerSize == 8) Put32(kLocator + 20, kLocator);
        PutPointer(kLocatorSlot, base + kLocator);
    }
};

const char* const kDriver2 = ".?AVIBonDriver2@@";

class MsvcRtti : public testing::TestWithParam<int> {
protected:
    uint64_t Base() const { return GetParam() == 4 ? 0x10000000u : 0x180000000ull; }
};

TEST_P(MsvcRtti, FindsTheSecondInterfaceAmongTheBases) {
    FakeImage image(GetParam(), Base(), true);
    EXPECT_EQ(MsvcClassHasBase(image.View(), image.VTable(), GetParam(), kDriver2), std::optional<bool>(true));
    EXPECT_EQ(MsvcClassHasBase(image.View(), image.VTable(), GetParam(), ".?AVIBonDriver@@"),
              std::optional<bool>(true));
    EXPECT_EQ(MsvcClassHasBase(image.View(), image.VTable(), GetParam(), ".?AVIBonDriver3@@"),
              std::optional<bool>(false));
}

TEST_P(MsvcRtti, AFirstInterfaceOnlyClassIsNotTheSecond) {
    FakeImage image(GetParam(), Base(), false);
    EXPECT_EQ(MsvcClassHasBase(image.View(), image.VTable(), GetParam(), kDriver2), std::optional<bool>(false));
}

TEST_P(MsvcRtti, BaseAtAnotherOffsetOrVirtualIsNotUsable) {
    FakeImage shifted(GetParam(), Base(), true);
    shifted.Put32(FakeImage::kBaseDescriptors + 28 + 8, 16);  // IBonDriver2 subobject elsewhere
    EXPECT_EQ(MsvcClassHasBase(shifted.View(), shifted.VTable(), GetParam(), kDriver2), std::optional<bool>(false));
    FakeImage virtualBase(GetParam(), Base(), true);
    virtualBase.Put32(FakeImage::kBaseDescriptors + 28 + 12, 0);
    EXPECT_EQ(MsvcClassHasBase(virtualBase.View(), virtualBase.VTable(), GetParam(), kDriver2),
              std::optional<bool>(false));
}

TEST_P(MsvcRtti, DamagedOrForeignLayoutsGiveNoAnswer) {
    const int size = GetParam();
    FakeImage badSignature(size, Base(), true);
    badSignature.Put32(FakeImage::kLocator, 7);
    EXPECT_EQ(MsvcClassHasBase(badSignature.View(), badSignature.VTable(), size, kDriver2), std::nullopt);

    FakeImage locatorOutside(size, Base(), true);
    locatorOutside.PutPointer(FakeImage::kLocatorSlot, Base() + 0x2000);
    EXPECT_EQ(MsvcClassHasBase(locatorOutside.View(), locatorOutside.VTable(), size, kDriver2), std::nullopt);

    FakeImage tooManyBases(size, Base(), true);
    tooManyBases.Put32(FakeImage::kHierarchy + 8, 100000);
    EXPECT_EQ(MsvcClassHasBase(tooManyBases.View(), tooManyBases.VTable(), size, kDriver2), std::nullopt);

    FakeImage arrayPastEnd(size, Base(), true);
    arrayPastEnd.PutReference(FakeImage::kHierarchy + 12, 0xFFE);
    EXPECT_EQ(MsvcClassHasBase(arrayPastEnd.View(), arrayPastEnd.VTable(), size, kDriver2), std::nullopt);

    FakeImage notAClassName(size, Base(), true);
    notAClassName.PutType(FakeImage::kTypeClass, "10CTuner");
    EXPECT_EQ(MsvcClassHasBase(notAClassName.View(), notAClassName.VTable(), size, kDriver2), std::nullopt);

    FakeImage good(size, Base(), true);
    EXPECT_EQ(MsvcClassHasBase(good.View(), Base() + 2, size, kDriver2), std::nullopt);  // table before the image
    EXPECT_EQ(MsvcClassHasBase(good.View(), Base() - 64, size, kDriver2), std::nullopt);
}

TEST(MsvcRtti64, LocatorMustNameItsOwnOffset) {
    FakeImage image(8, 0x180000000ull, true);
    image.Put32(FakeImage::kLocator + 20, FakeImage::kLocator + 8);
    EXPECT_EQ(MsvcClassHasBase(image.View(), image.VTable(), 8, kDriver2), std::nullopt);
}

INSTANTIATE_TEST_SUITE_P(Layouts, MsvcRtti, testing::Values(4, 8),
                         [](const testing::TestParamInfo<int>& info) { return info.param == 4 ? "x86" : "x64"; });

TEST(GccTypeInfo, RecognisesATablePointerAndAMangledName) {
    FakeImage image(8, 0x7f0000000000ull, false);
    // vtable[-1] -> type info {table pointer, name pointer} -> "11IBonDriver2".
    image.PutPointer(FakeImage::kLocatorSlot, image.base + 0x800);
    image.PutPointer(0x800, image.base + 0x900);
    image.PutPointer(0x808, image.base + 0x840);
    std::strcpy(reinterpret_cast<char*>(image.bytes.data() + 0x840), "11IBonDriver2");
    EXPECT_TRUE(LooksLikeGccTypeInfo(image.View(), image.VTable(), 8));
    // An MSVC locator is not GCC type information.
    FakeImage msvc(8, 0x180000000ull, true);
    EXPECT_FALSE(LooksLikeGccTypeInfo(msvc.View(), msvc.VTable(), 8));
    // A name that is not mangled, or runs past the image, is refused.
    std::strcpy(reinterpret_cast<char*>(image.bytes.data() + 0x840), ".?AVX@@");
    EXPECT_FALSE(LooksLikeGccTypeInfo(image.View(), image.VTable(), 8));
    image.PutPointer(0x808, image.base + 0xFFC);
    std::memset(image.bytes.data() + 0xFFC, 'A', 4);
    EXPECT_FALSE(LooksLikeGccTypeInfo(image.View(), image.VTable(), 8));
}

TEST(GccTypeInfo, AcceptsLocalClassNamesAndChecksTheOffsetToTop) {
    FakeImage image(8, 0x7f0000000000ull, false);
    image.PutPointer(FakeImage::kLocatorSlot, image.base + 0x800);
    image.PutPointer(0x800, image.base + 0x900);
    image.PutPointer(0x808, image.base + 0x840);
    // A class with internal linkage: mingw marks its name with '*' so that it
    // is compared by address; the driver object may well be such a class.
    std::strcpy(reinterpret_cast<char*>(image.bytes.data() + 0x840), "*N12_GLOBAL__N_16DriverE");
    EXPECT_TRUE(LooksLikeGccTypeInfo(image.View(), image.VTable(), 8));
    std::strcpy(reinterpret_cast<char*>(image.bytes.data() + 0x840), "*");
    EXPECT_FALSE(LooksLikeGccTypeInfo(image.View(), image.VTable(), 8));
    std::strcpy(reinterpret_cast<char*>(image.bytes.data() + 0x840), "11IBonDriver2");
    // The word before the type information is the distance to the whole
    // object: zero or a negative multiple of the pointer size.
    image.PutPointer(FakeImage::kLocatorSlot - 8, static_cast<uint64_t>(-16));
    EXPECT_TRUE(LooksLikeGccTypeInfo(image.View(), image.VTable(), 8));
    image.PutPointer(FakeImage::kLocatorSlot - 8, 8);
    EXPECT_FALSE(LooksLikeGccTypeInfo(image.View(), image.VTable(), 8));
    image.PutPointer(FakeImage::kLocatorSlot - 8, static_cast<uint64_t>(-3));
    EXPECT_FALSE(LooksLikeGccTypeInfo(image.View(), image.VTable(), 8));
}

}  // namespace
