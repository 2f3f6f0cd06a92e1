#pragma once
// The packet alignment rules applied plainly to a whole input at once, as
// the reference the block reader is compared with (by its tests and by the
// stream fuzz target): whatever its block size, the reader must find the
// same packets.
#include <cstddef>
#include <cstdint>
#include <vector>

namespace tsb {

// The alignment rules applied to the whole input: a 0x47 starts a packet when
// another follows at the preferred stride or else at the other one; when it
// holds the last 188 bytes; or, where the previous packet's stride ends, when
// it is followed by fewer than 188 more bytes. The preferred stride is 188,
// or 192 where two packets in a row advanced by 192. A 0x47 found afresh
// (at the start or after skipped bytes) yields to one of the next four bytes
// that keeps the 192 stride, as a time stamp yields to its packet.
inline std::vector<std::size_t> ReferencePackets(const uint8_t* data, std::size_t n) {
    std::vector<std::size_t> out;
    auto syncAt = [&](std::size_t i) { return i < n && data[i] == 0x47; };
    // 1 to 4 when the 0x47 at `at` keeps the 192 stride and so does the one
    // that many bytes later, for two units or up to the end: `at` is then a
    // time stamp byte and the last such one its packet's sync byte.
    auto stampSkip = [&](std::size_t at) -> std::size_t {
        if (!syncAt(at + 192)) return 0;
        for (std::size_t skip = 4; skip >= 1; --skip) {
            const std::size_t q = at + skip;
            if (syncAt(q) && syncAt(q + 192) && (q + 384 >= n || syncAt(q + 384))) return skip;
        }
        return 0;
    };
    std::size_t next = 0;
    std::size_t stride = 0;
    int sameInARow = 0;
    std::size_t p = 0;
    while (p < n) {
        if (data[p] != 0x47) {
            ++p;
            continue;
        }
        const bool inStep = p == next;
        const std::size_t first = inStep && sameInARow >= 2 ? stride : 188;
        const std::size_t second = first == 188 ? 192 : 188;
        const std::size_t rest = n - p;
        std::size_t advance = 0;
        if (syncAt(p + first)) {
            advance = first;
        } else if (syncAt(p + second)) {
            advance = second;
        } else if (rest == 188 || (inStep && rest > 188 && rest < 376)) {
            advance = 188;
        }
        if (advance == 0) {
            ++p;
            continue;
        }
        // Without an established stride a time stamp byte may have misled
        // the choice: one found afresh gives way to its packet, and a 188
        // look-ahead that hit the next unit's stamp becomes the 192 stride.
        if (!(inStep && sameInARow >= 2) && rest != 188) {
            const std::size_t skip = out.empty() || !inStep ? stampSkip(p) : 0;
            if (skip != 0) {
                p += skip;
                advance = 192;
            } else if (advance == 188 && syncAt(p + 192) && stampSkip(p + 188) == 4) {
                advance = 192;
            }
        }
        out.push_back(p);
        sameInARow = inStep && advance == stride ? (sameInARow < 2 ? sameInARow + 1 : 2) : 1;
        stride = advance;
        next = p + advance;
        p = next;
    }
    return out;
}

}  // namespace tsb
