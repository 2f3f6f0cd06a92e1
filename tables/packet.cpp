// Per-packet decoding: transport packet header, adaptation field and the PES
// header of a start packet, after ISO/IEC 13818-1. Every read stays inside the
// 188-byte packet whatever the length fields claim.
#include "tables/stream_context.h"

namespace {

// Reads forward through a byte range without ever passing its end.
struct Cursor {
    const uint8_t* data;
    int pos;
    int end;

    bool Fits(int n) const { return pos + n <= end; }
    const uint8_t* Take(int n) {
        const uint8_t* at = data + pos;
        pos += n;
        return at;
    }
};

uint64_t Timestamp33(const uint8_t* b) {
    return (static_cast<uint64_t>((b[0] >> 1) & 0x07) << 30) | (static_cast<uint64_t>(b[1]) << 22) |
           (static_cast<uint64_t>(b[2] >> 1) << 15) | (static_cast<uint64_t>(b[3]) << 7) | (b[4] >> 1);
}

// The adaptation field's optional parts in syntax order. A part that does not
// fit clears its own flag and the flags of all parts after it; private data
// running past the field keeps its flag, as its length was read.
enum AdaptationPart { kPcrPart, kOpcrPart, kSplicePart, kPrivateDataPart, kExtensionPart };

// Always false, so a reader can stop with `return ClearAdaptationFlagsFrom(...)`.
bool ClearAdaptationFlagsFrom(AdaptationField& af, AdaptationPart part) {
    if (part <= kPcrPart) af.pcrFlag = 0;
    if (part <= kOpcrPart) af.opcrFlag = 0;
    if (part <= kSplicePart) af.splicingPointFlag = 0;
    if (part <= kPrivateDataPart) af.transportPrivateDataFlag = 0;
    if (part <= kExtensionPart) af.adaptationFieldExtensionFlag = 0;
    return false;
}

void DecodeAdaptationFlags(uint8_t flags, AdaptationField& af) {
    af.discontinuityIndicator = (flags >> 7) & 1;
    af.randomAccessIndicator = (flags >> 6) & 1;
    af.elementaryStreamPriorityIndicator = (flags >> 5) & 1;
    af.pcrFlag = (flags >> 4) & 1;
    af.opcrFlag = (flags >> 3) & 1;
    af.splicingPointFlag = (flags >> 2) & 1;
    af.transportPrivateDataFlag = (flags >> 1) & 1;
    af.adaptationFieldExtensionFlag = flags & 1;
}

void DecodeClockReference(const uint8_t* b, uint64_t& base, uint16_t& extension) {
    base = (static_cast<uint64_t>(b[0]) << 25) | (static_cast<uint64_t>(b[1]) << 17) |
           (static_cast<uint64_t>(b[2]) << 9) | (static_cast<uint64_t>(b[3]) << 1) | (b[4] >> 7);
    extension = static_cast<uint16_t>(((b[4] & 0x01) << 8) | b[5]);
}

// PCR, OPCR, splice countdown and private data. False when one of them did
// not fit, so the extension after them is not read either.
bool ReadAdaptationOptionalFields(Cursor& c, AdaptationField& af) {
    if (af.pcrFlag) {
        if (!c.Fits(6)) return ClearAdaptationFlagsFrom(af, kPcrPart);
        DecodeClockReference(c.Take(6), af.pcrBase, af.pcrExtension);
    }
    if (af.opcrFlag) {
        if (!c.Fits(6)) return ClearAdaptationFlagsFrom(af, kOpcrPart);
        DecodeClockReference(c.Take(6), af.opcrBase, af.opcrExtension);
    }
    if (af.splicingPointFlag) {
        if (!c.Fits(1)) return ClearAdaptationFlagsFrom(af, kSplicePart);
        af.spliceCountdown = static_cast<int8_t>(*c.Take(1));
    }
    if (af.transportPrivateDataFlag) {
        if (!c.Fits(1)) return ClearAdaptationFlagsFrom(af, kPrivateDataPart);
        af.transportPrivateDataLength = *c.Take(1);
        // Offset from the adaptation_field_length byte to the private data.
        af.privateDataOffset = static_cast<uint8_t>(c.pos - 4);
        if (!c.Fits(af.transportPrivateDataLength)) return ClearAdaptationFlagsFrom(af, kExtensionPart);
        c.Take(af.transportPrivateDataLength);
    }
    return true;
}

// The adaptation field extension: legal time window, piecewise rate and
// seamless splice, each kept only when it fits, like the parts before them.
void ReadAdaptationExtension(Cursor& c, AdaptationField& af) {
    if (!c.Fits(2)) {
        ClearAdaptationFlagsFrom(af, kExtensionPart);
        return;
    }
    af.adaptationFieldExtensionLength = *c.Take(1);
    const uint8_t extensionFlags = *c.Take(1);
    af.ltwFlag = (extensionFlags >> 7) & 1;
    af.piecewiseRateFlag = (extensionFlags >> 6) & 1;
    af.seamlessSpliceFlag = (extensionFlags >> 5) & 1;
    if (af.ltwFlag) {
        if (!c.Fits(2)) {
            af.ltwFlag = af.piecewiseRateFlag = af.seamlessSpliceFlag = 0;
            return;
        }
        const uint8_t* b = c.Take(2);
        af.ltwValidFlag = b[0] >> 7;
        af.ltwOffset = static_cast<uint16_t>(((b[0] & 0x7F) << 8) | b[1]);
    }
    if (af.piecewiseRateFlag) {
        if (!c.Fits(3)) {
            af.piecewiseRateFlag = af.seamlessSpliceFlag = 0;
            return;
        }
        const uint8_t* b = c.Take(3);
        af.piecewiseRate = (static_cast<uint32_t>(b[0] & 0x3F) << 16) | (b[1] << 8) | b[2];
    }
    if (af.seamlessSpliceFlag) {
        if (!c.Fits(5)) {
            af.seamlessSpliceFlag = 0;
            return;
        }
        const uint8_t* b = c.Take(5);
        af.spliceType = b[0] >> 4;
        af.dtsNextAu = Timestamp33(b);
    }
}

// Decodes the adaptation field that begins at byte 4. A field whose flags
// announce more than its length (or the packet) holds keeps only what fits;
// the flags of the missing parts are cleared so no one reads a value that was
// never there.
void DecodeAdaptationField(const uint8_t* packet, AdaptationField& af) {
    af = AdaptationField{};
    af.length = packet[4];
    if (af.length == 0) return;
    const int end = af.length + 5 > kPacketSize ? kPacketSize : af.length + 5;
    Cursor c{packet, 5, end};
    if (!c.Fits(1)) return;
    DecodeAdaptationFlags(*c.Take(1), af);
    if (!ReadAdaptationOptionalFields(c, af)) return;
    if (af.adaptationFieldExtensionFlag) ReadAdaptationExtension(c, af);
}

bool HasNoOptionalHeader(uint8_t streamId) {
    switch (streamId) {
        case 0xBC:  // program_stream_map
        case 0xBF:  // private_stream_2
        case 0xF0:  // ECM
        case 0xF1:  // EMM
        case 0xF2:  // DSMCC_stream
        case 0xF8:  // ITU-T H.222.1 type E
        case 0xFF:  // program_stream_directory
            return true;
        default:
            return false;
    }
}

// The optional PES fields in syntax order, the second timestamp apart from
// the first: a DTS that does not fit still leaves the PTS.
enum PesPart {
    kPtsPart,
    kDtsPart,
    kEscrPart,
    kEsRatePart,
    kTrickModePart,
    kCopyInfoPart,
    kPesCrcPart,
    kPesExtensionPart
};

// Always false, so a reader can stop with `return CutPesFieldsFrom(...)`.
bool CutPesFieldsFrom(PesHeader& pes, PesPart part) {
    if (part <= kPtsPart) pes.ptsDtsFlags = 0;
    if (part <= kDtsPart && pes.ptsDtsFlags == 3) pes.ptsDtsFlags = 2;
    if (part <= kEscrPart) pes.escrFlag = 0;
    if (part <= kEsRatePart) pes.esRateFlag = 0;
    if (part <= kTrickModePart) pes.dsmTrickModeFlag = 0;
    if (part <= kCopyInfoPart) pes.additionalCopyInfoFlag = 0;
    if (part <= kPesCrcPart) pes.pesCrcFlag = 0;
    if (part <= kPesExtensionPart) pes.pesExtensionFlag = 0;
    return false;
}

// The three bytes that open the optional PES header.
void DecodePesHeaderFlags(const uint8_t* b, PesHeader& pes) {
    pes.marker = b[0] >> 6;
    pes.pesScramblingControl = (b[0] >> 4) & 3;
    pes.pesPriority = (b[0] >> 3) & 1;
    pes.dataAlignmentIndicator = (b[0] >> 2) & 1;
    pes.copyright = (b[0] >> 1) & 1;
    pes.originalOrCopy = b[0] & 1;
    pes.ptsDtsFlags = b[1] >> 6;
    pes.escrFlag = (b[1] >> 5) & 1;
    pes.esRateFlag = (b[1] >> 4) & 1;
    pes.dsmTrickModeFlag = (b[1] >> 3) & 1;
    pes.additionalCopyInfoFlag = (b[1] >> 2) & 1;
    pes.pesCrcFlag = (b[1] >> 1) & 1;
    pes.pesExtensionFlag = b[1] & 1;
    pes.pesHeaderDataLength = b[2];
    pes.payloadOffset = static_cast<int16_t>(9 + pes.pesHeaderDataLength);
}

void DecodeEscr(const uint8_t* b, PesHeader& pes) {
    pes.escrBase = (static_cast<uint64_t>((b[0] >> 3) & 7) << 30) | (static_cast<uint64_t>(b[0] & 3) << 28) |
                   (static_cast<uint64_t>(b[1]) << 20) | (static_cast<uint64_t>(b[2] >> 3) << 15) |
                   (static_cast<uint64_t>(b[2] & 3) << 13) | (static_cast<uint64_t>(b[3]) << 5) | (b[4] >> 3);
    pes.escrExtension = static_cast<uint16_t>(((b[4] & 3) << 7) | (b[5] >> 1));
}

// PTS, DTS, ESCR and ES rate. False when one of them did not fit.
bool ReadPesTimingFields(Cursor& c, PesHeader& pes) {
    if (pes.ptsDtsFlags & 2) {
        if (!c.Fits(5)) return CutPesFieldsFrom(pes, kPtsPart);
        pes.pts = Timestamp33(c.Take(5));
        if (pes.ptsDtsFlags == 3) {
            if (!c.Fits(5)) return CutPesFieldsFrom(pes, kDtsPart);
            pes.dts = Timestamp33(c.Take(5));
        }
    }
    if (pes.escrFlag) {
        if (!c.Fits(6)) return CutPesFieldsFrom(pes, kEscrPart);
        DecodeEscr(c.Take(6), pes);
    }
    if (pes.esRateFlag) {
        if (!c.Fits(3)) return CutPesFieldsFrom(pes, kEsRatePart);
        const uint8_t* b = c.Take(3);
        pes.esRate = (static_cast<uint32_t>(b[0] & 0x7F) << 15) | (b[1] << 7) | (b[2] >> 1);
    }
    return true;
}

void DecodeTrickMode(uint8_t t, PesHeader& pes) {
    pes.trickModeControl = t >> 5;
    switch (pes.trickModeControl) {
        case 0:  // fast forward
        case 3:  // fast reverse
            pes.fieldId = (t >> 3) & 3;
            pes.intraSliceRefresh = (t >> 2) & 1;
            pes.frequencyTruncation = t & 3;
            break;
        case 1:  // slow motion
        case 4:  // slow reverse
            pes.repCntrl = t & 0x1F;
            break;
        case 2:  // freeze frame
            pes.fieldId = (t >> 3) & 3;
            break;
        default:
            break;
    }
}

// Trick mode, additional copy info and the previous PES CRC. False when one
// of them did not fit.
bool ReadPesControlFields(Cursor& c, PesHeader& pes) {
    if (pes.dsmTrickModeFlag) {
        if (!c.Fits(1)) return CutPesFieldsFrom(pes, kTrickModePart);
        DecodeTrickMode(*c.Take(1), pes);
    }
    if (pes.additionalCopyInfoFlag) {
        if (!c.Fits(1)) return CutPesFieldsFrom(pes, kCopyInfoPart);
        pes.additionalCopyInfo = *c.Take(1) & 0x7F;
    }
    if (pes.pesCrcFlag) {
        if (!c.Fits(2)) return CutPesFieldsFrom(pes, kPesCrcPart);
        const uint8_t* b = c.Take(2);
        pes.previousPesPacketCrc = static_cast<uint16_t>((b[0] << 8) | b[1]);
    }
    return true;
}

// The PES extension's parts in syntax order. A pack header whose length runs
// past the packet keeps its own flag (its length was read) and clears those
// after it.
enum PesExtensionPart { kPesPrivateDataPart, kPackHeaderPart, kSequenceCounterPart, kPStdBufferPart, kExtension2Part };

// Always false, so a reader can stop with `return CutPesExtensionFrom(...)`.
bool CutPesExtensionFrom(PesHeader& pes, PesExtensionPart part) {
    if (part <= kPesPrivateDataPart) pes.pesPrivateDataFlag = 0;
    if (part <= kPackHeaderPart) pes.packHeaderFieldFlag = 0;
    if (part <= kSequenceCounterPart) pes.programPacketSequenceCounterFlag = 0;
    if (part <= kPStdBufferPart) pes.pStdBufferFlag = 0;
    if (part <= kExtension2Part) pes.pesExtensionFlag2 = 0;
    return false;
}

// PES private data and the pack header field. False when one did not fit.
bool ReadPesPrivateDataAndPackHeader(Cursor& c, PesHeader& pes) {
    if (pes.pesPrivateDataFlag) {
        if (!c.Fits(16)) return CutPesExtensionFrom(pes, kPesPrivateDataPart);
        const uint8_t* b = c.Take(16);
        for (int i = 0; i < 16; ++i)
            pes.pesPrivateData[i] = b[i];
    }
    if (pes.packHeaderFieldFlag) {
        if (!c.Fits(1)) return CutPesExtensionFrom(pes, kPackHeaderPart);
        pes.packFieldLength = *c.Take(1);
        if (!c.Fits(pes.packFieldLength)) return CutPesExtensionFrom(pes, kSequenceCounterPart);
        c.Take(pes.packFieldLength);
    }
    return true;
}

// Sequence counter, P-STD buffer and the second extension's opening bytes.
void ReadPesExtensionTail(Cursor& c, PesHeader& pes) {
    if (pes.programPacketSequenceCounterFlag) {
        if (!c.Fits(2)) {
            CutPesExtensionFrom(pes, kSequenceCounterPart);
            return;
        }
        const uint8_t* b = c.Take(2);
        pes.programPacketSequenceCounter = b[0] & 0x7F;
        pes.mpeg1Mpeg2Identifier = (b[1] >> 6) & 1;
        pes.originalStuffLength = b[1] & 0x3F;
    }
    if (pes.pStdBufferFlag) {
        if (!c.Fits(2)) {
            CutPesExtensionFrom(pes, kPStdBufferPart);
            return;
        }
        const uint8_t* b = c.Take(2);
        pes.pStdBufferScale = (b[0] >> 5) & 1;
        pes.pStdBufferSize = static_cast<uint16_t>(((b[0] & 0x1F) << 8) | b[1]);
    }
    if (pes.pesExtensionFlag2) {
        if (!c.Fits(2)) {
            CutPesExtensionFrom(pes, kExtension2Part);
            return;
        }
        const uint8_t* b = c.Take(2);
        pes.pesExtensionFieldLength = b[0] & 0x7F;
        pes.streamIdExtensionFlag = b[1] >> 7;
    }
}

void ReadPesExtension(Cursor& c, PesHeader& pes) {
    if (!c.Fits(1)) {
        CutPesFieldsFrom(pes, kPesExtensionPart);
        return;
    }
    const uint8_t x = *c.Take(1);
    pes.pesPrivateDataFlag = x >> 7;
    pes.packHeaderFieldFlag = (x >> 6) & 1;
    pes.programPacketSequenceCounterFlag = (x >> 5) & 1;
    pes.pStdBufferFlag = (x >> 4) & 1;
    pes.pesExtensionFlag2 = x & 1;
    if (ReadPesPrivateDataAndPackHeader(c, pes)) ReadPesExtensionTail(c, pes);
}

// Decodes the PES header that starts at `offset` of the packet. Only the part
// inside the packet is read; optional fields that do not fit are left out
// with their flags cleared. False when not even the six fixed bytes fit.
bool DecodePesHeader(const uint8_t* packet, int offset, PesHeader& pes) {
    pes = PesHeader{};
    Cursor c{packet, offset, kPacketSize};
    if (!c.Fits(6)) return false;
    const uint8_t* b = c.Take(6);
    pes.packetStartCodePrefix = (static_cast<uint32_t>(b[0]) << 16) | (b[1] << 8) | b[2];
    pes.streamId = b[3];
    pes.pesPacketLength = static_cast<uint16_t>((b[4] << 8) | b[5]);
    if (HasNoOptionalHeader(pes.streamId)) {
        pes.payloadOffset = 6;
        return true;
    }
    if (pes.streamId == 0xBE) return true;  // padding_stream: no payload worth pointing at
    if (!c.Fits(3)) return true;
    pes.optionalHeader = 1;
    DecodePesHeaderFlags(c.Take(3), pes);
    if (!ReadPesTimingFields(c, pes) || !ReadPesControlFields(c, pes)) return true;
    if (pes.pesExtensionFlag) ReadPesExtension(c, pes);
    return true;
}

void ClearHeaderFields(PidEntry& entry) {
    entry.headerValid = 0;
    entry.continuityCounter = 0;
    entry.headerLength = 0;
    entry.transportErrorIndicator = 0;
    entry.payloadUnitStartIndicator = 0;
    entry.transportPriority = 0;
    entry.transportScramblingControl = 0;
    entry.adaptationFieldControl = 0;
    entry.adaptationParsed = 0;
}

// Decodes the adaptation field when there is one; returns the header length
// up to the payload.
int DecodeAdaptationOfHeader(const uint8_t* packet, PidEntry& entry) {
    const bool adaptation = (entry.adaptationFieldControl & 2) != 0;
    int headerLength = (entry.payloadUnitStartIndicator || adaptation) ? 5 : 4;
    if (adaptation) {
        // An adaptation_field_length beyond the packet leaves no payload at
        // all rather than an offset that wraps around the 8-bit field.
        headerLength += packet[4];
        if (headerLength > kPacketSize) headerLength = kPacketSize;
        DecodeAdaptationField(packet, entry.adaptation);
        entry.adaptationParsed = 1;
    } else if (entry.adaptation.length != 0) {  // a zero length leaves the record all zero
        entry.adaptation = AdaptationField{};
    }
    return headerLength;
}

// Where the unit of a start packet begins, and its PES header when it is a
// PES packet; returns the header length, which loses the pointer_field byte
// when a PES packet follows the header directly.
int DecodeUnitStart(const uint8_t* packet, PidEntry& entry, int headerLength) {
    if (entry.adaptationFieldControl == 1 && packet[4] == 0x00 && packet[5] == 0x00 && packet[6] == 0x01) {
        headerLength = 4;  // a PES packet right after the header: no pointer_field
    }
    entry.unitStartOffset = static_cast<uint8_t>(headerLength);
    entry.pesParsed = 0;
    const int at = headerLength;
    if (at + 3 <= kPacketSize && packet[at] == 0x00 && packet[at + 1] == 0x00 && packet[at + 2] == 0x01) {
        entry.pesParsed = DecodePesHeader(packet, at, entry.pes) ? 1 : 0;
    }
    return headerLength;
}

}  // namespace

bool DecodeHeader(const uint8_t* packet, PidEntry& entry) {
    ClearHeaderFields(entry);
    if (packet[1] & 0x80) {
        entry.transportErrorIndicator = 1;
        return false;
    }
    DecodeHeaderBits(packet, entry);

    int headerLength = DecodeAdaptationOfHeader(packet, entry);
    if (entry.payloadUnitStartIndicator) headerLength = DecodeUnitStart(packet, entry, headerLength);
    entry.headerLength = static_cast<uint8_t>(headerLength);
    entry.headerValid = 1;
    return true;
}

PidEntry* DecodeHeaderOrForget(const uint8_t* packet, StreamContext& context, PidEntry& entry) {
    if (DecodeHeader(packet, entry)) return &entry;
    // A damaged packet takes the PID's counters and partial section with it.
    context.pids.Remove(entry.pid);
    return nullptr;
}
