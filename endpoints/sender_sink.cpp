// Network sender sink: the outside sender library, loaded at run time.
#include "endpoints/endpoints.h"

int32_t StartSender(const std::u16string&) { return -1; }
void StopSender(int32_t) {}
void SenderUninitialize(int32_t) {}
bool SenderHasDataEntry() { return false; }
void SenderSendData(int32_t, const uint8_t*, uint32_t) {}
void UnloadSender() {}
void SetSenderLibraryPath(const char*) {}
