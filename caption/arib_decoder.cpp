#include "caption/arib_decoder.h"

#include <cstdio>

#include "caption/arib_tables.h"

namespace {

constexpr uint32_t kGraphicSet = 1;
constexpr uint32_t kDrcs = 2;

constexpr uint8_t ESC = 0x1B;
constexpr uint8_t SP = 0x20;
constexpr uint8_t LS0 = 0x0F;

// Default macros 0x60..0x6F, each padded to 20 bytes; the zero bytes are
// skipped by the control step like any other unused C0 code.
constexpr int kMacroLength = 20;
constexpr uint8_t kDefaultMacros[16][kMacroLength] = {
    {ESC, '$', '9', ESC, ')', 'J', ESC, '*', '0', ESC, '+', SP, 'p', LS0, ESC, '}'},
    {ESC, '$', '9', ESC, ')', '1', ESC, '*', '0', ESC, '+', SP, 'p', LS0, ESC, '}'},
    {ESC, '$', '9', ESC, ')', SP, 0x40, ESC, '*', '0', ESC, '+', SP, 'p', LS0, ESC, '}'},
    {ESC, '(', '2', ESC, ')', '4', ESC, '*', '5', ESC, '+', SP, 'p', LS0, ESC, '}'},
    {ESC, '(', '2', ESC, ')', '3', ESC, '*', '5', ESC, '+', SP, 'p', LS0, ESC, '}'},
    {ESC, '(', '2', ESC, ')', SP, 0x40, ESC, '*', '5', ESC, '+', SP, 'p', LS0, ESC, '}'},
    {ESC, '(', SP, 'A', ESC, ')', SP, 'B', ESC, '*', SP, 'C', ESC, '+', SP, 'p', LS0, ESC, '}'},
    {ESC, '(', SP, 'D', ESC, ')', SP, 'E', ESC, '*', SP, 'F', ESC, '+', SP, 'p', LS0, ESC, '}'},
    {ESC, '(', SP, 'G', ESC, ')', SP, 'H', ESC, '*', SP, 'I', ESC, '+', SP, 'p', LS0, ESC, '}'},
    {ESC, '(', SP, 'J', ESC, ')', SP, 'K', ESC, '*', SP, 'L', ESC, '+', SP, 'p', LS0, ESC, '}'},
    {ESC, '(', SP, 'M', ESC, ')', SP, 'N', ESC, '*', SP, 'O', ESC, '+', SP, 'p', LS0, ESC, '}'},
    {ESC, '$', '9', ESC, ')', SP, 'B', ESC, '*', '0', ESC, '+', SP, 'p', LS0, ESC, '}'},
    {ESC, '$', '9', ESC, ')', SP, 'C', ESC, '*', '0', ESC, '+', SP, 'p', LS0, ESC, '}'},
    {ESC, '$', '9', ESC, ')', SP, 'D', ESC, '*', '0', ESC, '+', SP, 'p', LS0, ESC, '}'},
    {ESC, '(', '1', ESC, ')', '0', ESC, '*', 'J', ESC, '+', SP, 'p', LS0, ESC, '}'},
    {ESC, '(', 'J', ESC, ')', '2', ESC, '*', SP, 'A', ESC, '+', SP, 'p', LS0, ESC, '}'},
};

// Rows of the additional symbols table in storage order.
constexpr uint8_t kSymbolRows[] = {0x7A, 0x7B, 0x7C, 0x7D, 0x7E, 0x75, 0x76};

bool IsTwoByteSet(uint32_t final) {
    return final == 0x39 || final == 0x3A || final == 0x3B || final == 0x42;
}

void DesignateGraphic(AribSlot& slot, uint32_t final) {
    slot.final = final;
    slot.kind = kGraphicSet;
    slot.bytes = IsTwoByteSet(final) ? 2 : 1;
}

void DesignateDrcs(AribSlot& slot, uint32_t final) {
    slot.final = final;
    slot.kind = kDrcs;
    slot.bytes = final == 0x40 ? 2 : 1;
}

void LockGl(AribDecoder& decoder, int slot) {
    decoder.gl = slot;
    decoder.savedGl = -1;
}

void LockGr(AribDecoder& decoder, int slot) {
    decoder.gr = slot;
    decoder.savedGr = -1;
}

void SingleShift(AribDecoder& decoder, int slot) {
    // A second single shift before any character keeps the locked slot to
    // return to, not the slot of the first shift.
    if (decoder.savedGl < 0) decoder.savedGl = decoder.gl;
    decoder.gl = slot;
}

void AppendFormat(std::string& out, const char* format, unsigned a) {
    char buffer[32];
    int n = std::snprintf(buffer, sizeof buffer, format, a);
    if (n > 0) out.append(buffer, static_cast<std::size_t>(n));
}

void AppendFormat(std::string& out, const char* format, unsigned a, unsigned b) {
    char buffer[32];
    int n = std::snprintf(buffer, sizeof buffer, format, a, b);
    if (n > 0) out.append(buffer, static_cast<std::size_t>(n));
}

// Offset of the first `value` at or after `from`, or `length` when absent.
int32_t FindByte(const uint8_t* bytes, int32_t length, int32_t from, uint8_t value) {
    for (int32_t i = from; i < length; ++i) {
        if (bytes[i] == value) return i;
    }
    return length;
}

int32_t Advance(int32_t pos, int32_t count, int32_t length) {
    return count >= length - pos ? length : pos + count;
}

// Byte `k` of the sequence at bytes[pos], -1 past the end of the input.
int SequenceByte(const uint8_t* bytes, int32_t length, int32_t pos, int32_t k) {
    return pos + k < length ? bytes[pos + k] : -1;
}

// ESC 0x28..0x2B F (a one-byte set) or ESC 0x28..0x2B SP F (a DRCS) into G0..G3.
int32_t DesignateOneByteSet(const uint8_t* bytes, int32_t length, int32_t pos, AribDecoder& decoder) {
    AribSlot& slot = decoder.g[bytes[pos + 1] - 0x28];
    const int b2 = SequenceByte(bytes, length, pos, 2);
    if (b2 == SP) {
        const int f = SequenceByte(bytes, length, pos, 3);
        if (f < 0) return length;
        if ((f >= 0x41 && f <= 0x4F) || f == 0x70) DesignateDrcs(slot, static_cast<uint32_t>(f));
        return pos + 4;
    }
    if (b2 < 0) return length;
    if ((b2 >= 0x30 && b2 <= 0x38) || b2 == 0x49 || b2 == 0x4A) DesignateGraphic(slot, static_cast<uint32_t>(b2));
    return pos + 3;
}

// ESC 0x24 F into G0, ESC 0x24 0x28..0x2B F (G0 only takes the short form)
// and ESC 0x24 0x28..0x2B SP F for the two-byte DRCS.
int32_t DesignateTwoByteSet(const uint8_t* bytes, int32_t length, int32_t pos, AribDecoder& decoder) {
    const int b2 = SequenceByte(bytes, length, pos, 2);
    if (b2 < 0) return length;
    if (b2 >= 0x28 && b2 <= 0x2B) {
        AribSlot& slot = decoder.g[b2 - 0x28];
        const int b3 = SequenceByte(bytes, length, pos, 3);
        if (b3 == SP) {
            const int f = SequenceByte(bytes, length, pos, 4);
            if (f < 0) return length;
            if (f == 0x40) DesignateDrcs(slot, 0x40);
            return pos + 5;
        }
        if (b3 < 0) return length;
        if (b2 != 0x28 && IsTwoByteSet(static_cast<uint32_t>(b3))) DesignateGraphic(slot, static_cast<uint32_t>(b3));
        return pos + 4;
    }
    if (IsTwoByteSet(static_cast<uint32_t>(b2))) DesignateGraphic(decoder.g[0], static_cast<uint32_t>(b2));
    return pos + 3;
}

void EscapeLockingShift(int final, AribDecoder& decoder) {
    switch (final) {
        case 0x6E:
            LockGl(decoder, 2);
            break;  // LS2
        case 0x6F:
            LockGl(decoder, 3);
            break;  // LS3
        case 0x7E:
            LockGr(decoder, 1);
            break;  // LS1R
        case 0x7D:
            LockGr(decoder, 2);
            break;  // LS2R
        case 0x7C:
            LockGr(decoder, 3);
            break;  // LS3R
        default:
            break;
    }
}

// Escape sequence at bytes[pos] (ESC). Designates only when the whole
// sequence lies inside the input; returns the offset after it.
int32_t EscapeSequence(const uint8_t* bytes, int32_t length, int32_t pos, AribDecoder& decoder) {
    const int b1 = SequenceByte(bytes, length, pos, 1);
    if (b1 < 0) return length;
    if (b1 >= 0x28 && b1 <= 0x2B) return DesignateOneByteSet(bytes, length, pos, decoder);
    if (b1 == 0x24) return DesignateTwoByteSet(bytes, length, pos, decoder);
    EscapeLockingShift(b1, decoder);
    return pos + 2;
}

// CSI at bytes[pos]; returns the offset after the sequence.
int32_t ControlSequence(const uint8_t* bytes, int32_t length, int32_t pos, AribDecoder& decoder) {
    if (pos + 1 >= length) return length;
    const uint8_t next = bytes[pos + 1];
    if (next == 0x5B || next == 0x5C || next == 0x6F) return pos + 2;
    const int32_t space = FindByte(bytes, length, pos + 1, SP);
    if (space + 1 >= length) return length;  // no final byte inside the text
    if (bytes[space + 1] == 0x53) {          // SWF
        bool plain = true;
        uint32_t value = 0;
        bool digits = true;
        for (int32_t i = pos + 1; i < space; ++i) {
            const uint8_t c = bytes[i];
            if (c == ';') plain = false;
            if (digits && c >= '0' && c <= '9') {
                value = value * 10 + (c - '0');
                if (value > 0xFFFF) value = 0xFFFF;
            } else {
                digits = false;
            }
        }
        if (plain) {
            decoder.writingFormat = static_cast<uint16_t>(value);
            ResetDecoder(decoder);
        }
    }
    return space + 2;
}

// What a one-byte format effector leaves in the caption text, or null when
// the code is not one.
const char* FormatEffectorText(uint8_t code) {
    switch (code) {
        case 0x08:
            return "0x08";
        case 0x09:
            return "0x09";
        case 0x0A:
            return "\\n";
        case 0x0B:
            return "0x0B";
        case 0x0D:
            return "\\r";
        case 0x20:
            return " ";
        default:
            return nullptr;
    }
}

// One-byte codes that only change the decoder: clear screen (which resets
// the designations), locking and single shifts. False for any other code.
bool ApplyStateControl(uint8_t code, AribDecoder& decoder) {
    switch (code) {
        case 0x0C:
            ResetDecoder(decoder);
            return true;
        case 0x0E:
            LockGl(decoder, 1);
            return true;
        case 0x0F:
            LockGl(decoder, 0);
            return true;
        case 0x19:
            SingleShift(decoder, 2);
            return true;
        case 0x1D:
            SingleShift(decoder, 3);
            return true;
        default:
            return false;
    }
}

// MACRO definition at bytes[pos]: runs through the closing 0x95 0x4F, or to
// the end of the input when it is not closed.
int32_t SkipMacroDefinition(const uint8_t* bytes, int32_t length, int32_t pos) {
    for (int32_t i = pos + 2; i + 1 < length; ++i) {
        if (bytes[i] == 0x95 && bytes[i + 1] == 0x4F) return i + 2;
    }
    return length;
}

// TIME at bytes[pos]: the short form waits, the long one ends after the
// byte that follows its space.
int32_t SkipTimeControl(const uint8_t* bytes, int32_t length, int32_t pos) {
    if (pos + 1 < length && bytes[pos + 1] == 0x28) return pos + 2;
    const int32_t space = FindByte(bytes, length, pos + 1, SP);
    return Advance(space, 2, length);
}

// Codes with parameters, and those skipped as a single byte; returns the
// offset after the code.
int32_t ParameterizedControl(const uint8_t* bytes, int32_t length, int32_t pos, AribDecoder& decoder) {
    switch (bytes[pos]) {
        case 0x16:  // PAPF
        case 0x8B:
        case 0x91:
        case 0x93:
        case 0x94:
        case 0x97:
        case 0x98:
            return Advance(pos, 2, length);
        case 0x1B:
            return EscapeSequence(bytes, length, pos, decoder);
        case 0x1C:  // APS
            return Advance(pos, 3, length);
        case 0x90:
        case 0x92:  // COL, CDC
            return Advance(pos, pos + 1 < length && bytes[pos + 1] == SP ? 3 : 2, length);
        case 0x95:
            return SkipMacroDefinition(bytes, length, pos);
        case 0x9B:
            return ControlSequence(bytes, length, pos, decoder);
        case 0x9D:
            return SkipTimeControl(bytes, length, pos);
        default:
            return pos + 1;  // other C0 and C1 codes carry no parameters here
    }
}

// Consumes control codes from bytes[pos]. Returns true with pos on a graphic
// byte (0x21..0x7F, 0xA0..0xFF), false at the end of the input.
bool ControlStep(const uint8_t* bytes, int32_t length, int32_t& pos, AribDecoder& decoder, std::string& out) {
    while (pos < length) {
        const uint8_t b = bytes[pos];
        if ((b >= 0x21 && b <= 0x7F) || b >= 0xA0) return true;
        if (const char* text = FormatEffectorText(b)) {
            out += text;
            pos += 1;
        } else if (ApplyStateControl(b, decoder)) {
            pos += 1;
        } else {
            pos = ParameterizedControl(bytes, length, pos, decoder);
        }
    }
    return false;
}

void AppendTableEntry(std::string& out, const uint8_t* table, int32_t tableLength, unsigned b) {
    const int32_t offset = static_cast<int32_t>(b - 0x20) * 2;
    if (offset + 2 <= tableLength) out.append(reinterpret_cast<const char*>(table + offset), 2);
}

void OneByteCharacter(const AribSlot& slot, unsigned b, AribDecoder& decoder, std::string& out) {
    const uint32_t f = slot.final;
    if (slot.kind == kGraphicSet) {
        if (f == 0x4A || f == 0x36) {
            AppendTableEntry(out, kAlphanumericTable, kAlphanumericTableLength, b);
        } else if (f == 0x30 || f == 0x37) {
            AppendTableEntry(out, kHiraganaTable, kHiraganaTableLength, b);
        } else if (f == 0x31 || f == 0x38) {
            AppendTableEntry(out, kKatakanaTable, kKatakanaTableLength, b);
        } else if (f == 0x49) {
            AppendTableEntry(out, kJisX0201KatakanaTable, kJisX0201KatakanaTableLength, b);
        } else if (f >= 0x32 && f <= 0x35) {
            static const char* const kMosaic[] = {"[MF_MOSAIC_A;", "[MF_MOSAIC_B;", "[MF_MOSAIC_C;", "[MF_MOSAIC_D;"};
            out += kMosaic[f - 0x32];
            AppendFormat(out, "0x%02x]", b);
        } else {
            AppendFormat(out, "[MF0x%02x;", f);
            AppendFormat(out, "0x%02x]", b);
        }
        return;
    }
    // DRCS
    if (f >= 0x41 && f <= 0x4F) {
        AppendFormat(out, "[MF_DRCS_%u;", f - 0x40);
        AppendFormat(out, "0x%02x]", b);
    } else if (f == 0x70) {
        if (b >= 0x60 && b <= 0x6F) {
            // The macro only designates and invokes; any text it could
            // produce is not part of the caption.
            std::string ignored;
            int32_t macroPos = 0;
            ControlStep(kDefaultMacros[b - 0x60], kMacroLength, macroPos, decoder, ignored);
        }
    } else {
        AppendFormat(out, "[MF0x%02x;", f);
        AppendFormat(out, "0x%02x]", b);
    }
}

// JIS X 0208 row and cell to Shift-JIS.
void AppendShiftJis(std::string& out, unsigned b, unsigned c) {
    unsigned second;
    if (b & 1) {
        second = c + 0x1F;
        if (second >= 0x7F) ++second;
    } else {
        second = c + 0x7E;
    }
    unsigned first = ((b - 0x21) >> 1) + 0x81;
    if (b < 0x21) first = 0x80;  // row 0x20 (from 0xA0 in GR) sits just below the lead bytes
    if (first > 0x9F) first += 0x40;
    out += static_cast<char>(first & 0xFF);
    out += static_cast<char>(second & 0xFF);
}

// Code point of an additional symbol, 0 when the cell has none.
unsigned AdditionalSymbol(unsigned b, unsigned c) {
    if (c < 0x21 || c > 0x7E) return 0;
    for (int row = 0; row < 7; ++row) {
        if (kSymbolRows[row] == b) return kAdditionalSymbols[row * 94 + (c - 0x21)];
    }
    return 0;
}

void TwoByteCharacter(const AribSlot& slot, unsigned b, unsigned c, std::string& out) {
    const uint32_t f = slot.final;
    if (slot.kind == kGraphicSet && IsTwoByteSet(f)) {
        if (b < 0x75 || c < 0x21) {
            AppendShiftJis(out, b, c);
            return;
        }
        if (const unsigned symbol = AdditionalSymbol(b, c); symbol != 0) {
            AppendFormat(out, "&#x%04x;", symbol);
            return;
        }
    } else if (slot.kind == kDrcs && f == 0x40) {
        out += "[MF_DRCS_0;";
        AppendFormat(out, "0x%02x%02x]", b, c);
        return;
    }
    AppendFormat(out, "[MF0x%02x;", f);
    AppendFormat(out, "0x%02x%02x]", b, c);
}

// One graphic character at bytes[pos]; may move pos to the end of the input
// to end the text.
void CharacterStep(const uint8_t* bytes, int32_t length, int32_t& pos, AribDecoder& decoder, std::string& out) {
    unsigned b = bytes[pos];
    int slotIndex;
    if (b >= 0x20 && b <= 0x7E) {
        slotIndex = decoder.gl;
    } else if (b >= 0xA0 && b <= 0xFE) {
        slotIndex = decoder.gr;
        b -= 0x80;
    } else {
        pos = length;  // 0x7F or 0xFF in a graphic position ends the text
        return;
    }
    if (slotIndex < 0 || slotIndex > 3 || decoder.g[slotIndex].kind == 0) {
        pos = length;
        return;
    }
    const AribSlot slot = decoder.g[slotIndex];
    if (slot.bytes != 2) {
        pos += 1;
        OneByteCharacter(slot, b, decoder, out);
        return;
    }
    if (length - pos < 2) {
        pos += 1;
        return;
    }
    unsigned c = bytes[pos + 1];
    if (c >= 0xA0 && c <= 0xFE) c -= 0x80;
    if (c < 0x20 || c > 0x7E) {
        pos = length;
        return;
    }
    TwoByteCharacter(slot, b, c, out);
    pos += 2;
}

}  // namespace

AribDecoder::AribDecoder() {
    // The text store always reports whether a new text differs from the last.
    text.compare = 1;
    ResetDecoder(*this);
}

void ResetDecoder(AribDecoder& decoder) {
    AribSlot* g = decoder.g;
    if (decoder.profile == 0 && decoder.writingFormat == 14) {
        DesignateDrcs(g[0], 0x41);
        DesignateGraphic(g[1], 0x4A);
        DesignateGraphic(g[2], 0x39);
        DesignateDrcs(g[3], 0x70);
    } else if (decoder.profile == 0) {
        DesignateGraphic(g[0], 0x39);
        DesignateGraphic(g[1], 0x4A);
        DesignateGraphic(g[2], 0x30);
        DesignateDrcs(g[3], 0x70);
    } else if (decoder.profile == 1) {
        DesignateGraphic(g[0], 0x39);
        DesignateGraphic(g[1], 0x4A);
        DesignateGraphic(g[2], 0x39);
        DesignateDrcs(g[3], 0x70);
    } else {
        DesignateGraphic(g[0], 0x39);
        DesignateGraphic(g[1], 0x4A);
        DesignateGraphic(g[2], 0x30);
        DesignateGraphic(g[3], 0x31);
    }
    decoder.gl = 0;
    decoder.gr = 2;
    decoder.savedGl = -1;
    decoder.savedGr = -1;
}

bool DecodeAribText(const uint8_t* bytes, int32_t length, AribDecoder& decoder, std::string& out) {
    out.clear();
    if (bytes == nullptr || length <= 0) return false;
    int32_t pos = 0;
    while (pos < length) {
        const bool graphic = ControlStep(bytes, length, pos, decoder, out);
        if (graphic) CharacterStep(bytes, length, pos, decoder, out);
        if (decoder.savedGl >= 0) {
            decoder.gl = decoder.savedGl;
            decoder.savedGl = -1;
        }
        if (decoder.savedGr >= 0) {
            decoder.gr = decoder.savedGr;
            decoder.savedGr = -1;
        }
        if (!graphic) break;
    }
    return !out.empty();
}
