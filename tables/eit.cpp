// Present/following event information table of the actual transport stream:
// the current event and the one before it, and what to show when the
// programme changes.
#include <new>
#include <string>
#include <vector>

#include "common/limits.h"
#include "tables/section_view.h"
#include "tables/si_text.h"
#include "tables/stream_context.h"

using tables_detail::AssignToSlot;
using tables_detail::DecodeIntoSlot;
using tables_detail::GatherSection;
using tables_detail::SectionView;

namespace {

bool IsEitPid(uint16_t pid) {
    return pid == 0x0012 || pid == 0x0026 || pid == 0x0027;
}

// The previous slot becomes an exact copy of the current one: an event
// without a name must not inherit the name of the event before it.
void CopySlot(const AribDecoder& from, AribDecoder& to) {
    to.text.compare = 1;
    if (from.text.data != nullptr && from.text.used > 0) {
        to.text.AssignDetect(from.text.data, from.text.used, kTextSlack);
    } else {
        to.text.Free();
        to.text.compare = 1;
    }
}

// short_event_descriptor: language code, event name, event text. The text
// lengths are followed as they stand, even past a descriptor_length that is
// too short for them; a text that would reach into the CRC_32 is not taken.
void ReadShortEvent(const SectionView& section, int32_t at, int32_t end, EventStore& store) {
    AribDecoder* current[2] = {&store.currentName, &store.currentText};
    AribDecoder* latest[2] = {&store.latestName, &store.latestText};
    std::string text;
    int32_t lengthAt = at + 5;
    for (int part = 0; part < 2; ++part) {
        if (lengthAt >= end) return;
        const int32_t length = section.U8(lengthAt);
        const int32_t textAt = lengthAt + 1;
        if (textAt + length > end) return;
        if (length != 0 && DecodeIntoSlot(section.data + textAt, length, *current[part], text) && store.shifted) {
            AssignToSlot(text, *latest[part]);
        }
        lengthAt = textAt + length;
    }
}

// One event's parts whose latest text changed; the start and duration go
// with the name.
EventLines EventPartsToShow(const DateTime& start, const DateTime& duration, const AribDecoder& name,
                            const AribDecoder& text, const EventStore& store) {
    EventLines event;
    event.start = start;
    event.duration = duration;
    if (name.text.used > 0 && store.latestName.text.changed) event.name = name.text.Text();
    if (text.text.used > 0 && store.latestText.text.changed) event.text = text.text.Text();
    return event;
}

// Takes the start and duration of the event at `at` as the current event.
// When it starts later than the current one, that one becomes the previous
// event first.
void TakeEventTimes(const SectionView& section, int32_t at, EventStore& store) {
    DateTime start;
    int64_t startSeconds = 0;
    if (DecodeMjdDateTime(section.data + at + 2, start)) {
        startSeconds = LocalDateTimeToSeconds(start);
    } else {
        start = DateTime{};
    }
    DateTime duration;
    int64_t durationSeconds = 0;
    if (DecodeBcdTime(section.data + at + 7, duration)) {
        durationSeconds = (static_cast<int64_t>(duration.hour) * 60 + duration.minute) * 60 + duration.second;
    } else {
        duration = DateTime{};
    }
    store.shifted = 0;
    if (store.currentStart > 0 && store.currentStart < startSeconds) {
        store.previousStartTime = store.currentStartTime;
        store.previousDuration = store.currentDuration;
        CopySlot(store.currentName, store.previousName);
        CopySlot(store.currentText, store.previousText);
        store.shifted = 1;
    }
    store.currentStart = startSeconds;
    store.currentStartTime = start;
    store.currentDurationSeconds = durationSeconds;
    store.currentDuration = duration;
}

// The descriptor loop of the event at `at`; returns where the next event
// begins.
int32_t ReadEventDescriptors(const SectionView& section, int32_t at, EventStore& store) {
    int32_t loopLength = section.U16(at + 10) & 0x0FFF;
    at += 12;
    // A signed loop length: a descriptor that overruns the loop ends it
    // instead of wrapping around and reading the next event as one.
    while (loopLength > 0 && section.Has(at, 2)) {
        const uint8_t tag = section.U8(at);
        const int32_t length = section.U8(at + 1);
        if (tag == 0x4D && length >= 7) ReadShortEvent(section, at, section.body, store);
        at += length + 2;
        loopLength -= length + 2;
    }
    return at;
}

// The event name of the short_event_descriptor among the event's
// descriptors, decoded on its own; empty when there is none.
std::string EventName(const SectionView& section, int32_t at) {
    int32_t loopLength = section.U16(at + 10) & 0x0FFF;
    at += 12;
    while (loopLength > 0 && section.Has(at, 2)) {
        const uint8_t tag = section.U8(at);
        const int32_t length = section.U8(at + 1);
        if (tag == 0x4D && length >= 7 && section.Has(at + 5, 1)) {
            const int32_t nameLength = section.U8(at + 5);
            if (!section.Has(at + 6, nameLength)) return {};
            AribDecoder decoder;
            std::string name;
            ResetDecoder(decoder);
            if (nameLength == 0 || !DecodeAribText(section.data + at + 6, nameLength, decoder, name)) return {};
            return name;
        }
        at += length + 2;
        loopLength -= length + 2;
    }
    return {};
}

// A stream that announces ever new events must not grow the list without
// end: a day of a busy service announces a few hundred.
constexpr std::size_t kMostSeenEvents = 4096;

// Keeps the event at `at` for the report, the first time it is announced.
void RecordSeenEvent(const SectionView& section, int32_t at, StreamContext& context) {
    if (context.seenEvents.size() >= kMostSeenEvents) return;
    EventRecord record;
    record.serviceId = section.U16(3);
    record.eventId = section.U16(at);
    for (const EventRecord& seen : context.seenEvents) {
        if (seen.serviceId == record.serviceId && seen.eventId == record.eventId) return;
    }
    if (DateTime start; DecodeMjdDateTime(section.data + at + 2, start)) record.start = start;
    if (DateTime duration; DecodeBcdTime(section.data + at + 7, duration)) {
        record.durationSeconds = (static_cast<int64_t>(duration.hour) * 60 + duration.minute) * 60 + duration.second;
    }
    record.name = EventName(section, at);
    try {
        context.seenEvents.push_back(std::move(record));
    } catch (const std::bad_alloc&) {}
}

}  // namespace

bool ParseEit(const uint8_t* packet, StreamContext& context, PidEntry& entry) {
    if (!IsEitPid(entry.pid)) return false;
    bool consumed = false;
    const std::optional<SectionView> gathered = GatherSection(packet, entry, 0x4E, 0, consumed, true);
    if (!gathered) return consumed;
    const SectionView& section = *gathered;
    if (!section.Has(0, 14)) {
        ResetAssembler(entry.assembler);
        return false;
    }
    EventStore& store = context.events;
    int32_t at = 14;
    // Each event needs its 12 fixed bytes before the CRC_32.
    while (section.Has(at, 12)) {
        if (context.recordEvents) RecordSeenEvent(section, at, context);
        TakeEventTimes(section, at, store);
        at = ReadEventDescriptors(section, at, store);
    }
    ResetAssembler(entry.assembler);
    return true;
}

std::vector<EventLines> TakeEventLines(StreamContext& context) {
    EventStore& store = context.events;
    if (!store.shifted) return {};
    std::vector<EventLines> events;
    events.push_back(EventPartsToShow(store.previousStartTime, store.previousDuration, store.previousName,
                                      store.previousText, store));
    events.push_back(
        EventPartsToShow(store.currentStartTime, store.currentDuration, store.currentName, store.currentText, store));
    store.latestName.text.changed = 0;
    store.latestText.text.changed = 0;
    return events;
}
