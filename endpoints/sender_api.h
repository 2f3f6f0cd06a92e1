#pragma once
// Entry points of the network sender library, as its published prototypes
// give them. Shared by the sink that loads the library and by the sender
// library this project builds, so both sides agree on the calling
// convention and the text type.
#include <cstdint>

#if defined(_WIN32)
#define SENDER_CALL __stdcall
using SenderChar = wchar_t;  // UTF-16 on Windows
#else
#define SENDER_CALL
using SenderChar = char16_t;
#endif

using SenderDword = uint32_t;

using SenderInitializeFn = int(SENDER_CALL*)();
using SenderUnInitializeFn = SenderDword(SENDER_CALL*)(int id);
using SenderAddAddrFn = SenderDword(SENDER_CALL*)(int id, const SenderChar* host, SenderDword port);
using SenderClearAddrFn = SenderDword(SENDER_CALL*)(int id);
using SenderStartFn = SenderDword(SENDER_CALL*)(int id);
using SenderStopFn = SenderDword(SENDER_CALL*)(int id);
using SenderAddDataFn = SenderDword(SENDER_CALL*)(int id, uint8_t* data, SenderDword size);
using SenderClearBuffFn = SenderDword(SENDER_CALL*)(int id);
// The project's own library also tells whether a destination ever connected
// (1 yes, 0 never, 0xFFFFFFFF no such destination); others lack it.
using SenderReachedFn = SenderDword(SENDER_CALL*)(int id, SenderDword index);
