#pragma once
// The tuner driver interfaces as published (IBonDriver, IBonDriver2) and the
// factory the driver library exports. Declared at global scope under their
// published names: on Linux the program's and the driver's type information
// must match by name for the down-cast to IBonDriver2 to work.
#include <cstdint>

using BonByte = uint8_t;
using BonDword = uint32_t;
using BonBool = int32_t;
#if defined(_WIN32)
using BonChar = wchar_t;
#define BON_INTERFACE
#else
using BonChar = char16_t;
#define BON_INTERFACE __attribute__((visibility("default")))
#endif

class BON_INTERFACE IBonDriver {
public:
    virtual BonBool OpenTuner() = 0;                                // slot 0
    virtual void CloseTuner() = 0;                                  // slot 1
    virtual BonBool SetChannel(const BonByte channel) = 0;          // slot 2
    virtual float GetSignalLevel() = 0;                             // slot 3
    virtual BonDword WaitTsStream(const BonDword timeOut = 0) = 0;  // slot 4
    virtual BonDword GetReadyCount() = 0;                           // slot 5
#if defined(_WIN32)
    // Drivers for Windows are built with MSVC, which places overloads of one
    // name together in reverse order of declaration: the pointer form sits
    // in slot 6 and the copy form in slot 7. Declaring them this way round
    // gives GCC's table the same shape.
    virtual BonBool GetTsStream(BonByte** dst, BonDword* size, BonDword* remain) = 0;  // slot 6
    virtual BonBool GetTsStream(BonByte* dst, BonDword* size, BonDword* remain) = 0;   // slot 7
#else
    // Drivers for Linux are built with GCC from the published order: the
    // copy form first.
    virtual BonBool GetTsStream(BonByte* dst, BonDword* size, BonDword* remain) = 0;   // slot 6
    virtual BonBool GetTsStream(BonByte** dst, BonDword* size, BonDword* remain) = 0;  // slot 7
#endif
    virtual void PurgeTsStream() = 0;  // slot 8
    virtual void Release() = 0;        // slot 9
};

class BON_INTERFACE IBonDriver2 : public IBonDriver {
public:
    virtual const BonChar* GetTunerName() = 0;                                                 // slot 10
    virtual BonBool IsTunerOpening() = 0;                                                      // slot 11
    virtual const BonChar* EnumTuningSpace(const BonDword space) = 0;                          // slot 12
    virtual const BonChar* EnumChannelName(const BonDword space, const BonDword channel) = 0;  // slot 13
    using IBonDriver::SetChannel;
    virtual BonBool SetChannel(const BonDword space, const BonDword channel) = 0;  // slot 14
    virtual BonDword GetCurTuningSpace() = 0;                                      // slot 15
    virtual BonDword GetCurChannel() = 0;                                          // slot 16
    void Release() override = 0;
};

extern "C" {
using CreateBonDriverFn = IBonDriver* (*)();
}
