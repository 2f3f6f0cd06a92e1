// Time windows (-duration): stretches of reference-clock time, measured from
// the start of the stream, outside which packets are not written.
#include <algorithm>
#include <string>

#include "common/process_state.h"
#include "common/text.h"
#include "engine/stream_job.h"

namespace {

constexpr uint64_t kTicksPerSecond = 90000;

uint16_t Field(const std::string& text) {
    return static_cast<uint16_t>(ParseDecimal(text.c_str()));
}

uint64_t ReferencePosition(StreamContext& context) {
    return SelectReferenceClock(context, ClockKind::Pcr).currentElapsed;
}

}  // namespace

TimeOfDay ParseTimeOfDay(const char* text) {
    TimeOfDay time;
    if (text == nullptr || *text == '\0') return time;
    const std::string all(text);
    const std::size_t firstColon = all.find(':');
    if (firstColon == std::string::npos) {
        // Plain seconds; a fraction is ignored. Beyond the 16-bit field the
        // seconds carry into minutes and hours so that a long stretch such
        // as 70000 keeps its length instead of wrapping.
        const long long value = ParseDecimal(all.c_str());
        const uint64_t seconds = value < 0 ? 0 : static_cast<uint64_t>(value);
        if (seconds <= 0xFFFF) {
            time.seconds = static_cast<uint16_t>(seconds);
        } else {
            time.hours = static_cast<uint16_t>(std::min<uint64_t>(seconds / 3600, 0xFFFF));
            time.minutes = static_cast<uint16_t>((seconds % 3600) / 60);
            time.seconds = static_cast<uint16_t>(seconds % 60);
        }
        return time;
    }
    time.hours = Field(all.substr(0, firstColon));
    const std::string rest = all.substr(firstColon + 1);
    const std::size_t secondColon = rest.find(':');
    if (secondColon == std::string::npos) {
        time.minutes = Field(rest);
        return time;
    }
    time.minutes = Field(rest.substr(0, secondColon));
    const std::string tail = rest.substr(secondColon + 1);
    const std::size_t dot = tail.find('.');
    if (dot == std::string::npos) {
        time.seconds = Field(tail);
        return time;
    }
    time.seconds = Field(tail.substr(0, dot));
    time.milliseconds = Field(tail.substr(dot + 1));
    return time;
}

namespace {

bool IsDigits(const std::string& text) {
    return !text.empty() && text.find_first_not_of("0123456789") == std::string::npos;
}

bool IsTimeText(const std::string& text) {
    const std::size_t colons = static_cast<std::size_t>(std::count(text.begin(), text.end(), ':'));
    const std::size_t dot = text.find('.');
    if (colons == 0)
        return IsDigits(text.substr(0, dot)) &&
               (dot == std::string::npos || text.size() == dot + 1 || IsDigits(text.substr(dot + 1)));
    const std::size_t first = text.find(':');
    if (colons == 1) return IsDigits(text.substr(0, first)) && IsDigits(text.substr(first + 1));
    if (colons != 2) return false;
    const std::size_t second = text.find(':', first + 1);
    const std::string seconds = text.substr(second + 1);
    const std::size_t secondsDot = seconds.find('.');
    return IsDigits(text.substr(0, first)) && IsDigits(text.substr(first + 1, second - first - 1)) &&
           IsDigits(seconds.substr(0, secondsDot)) &&
           (secondsDot == std::string::npos || IsDigits(seconds.substr(secondsDot + 1)));
}

bool IsWindowText(const std::string& entry) {
    const std::size_t dash = entry.find('-');
    if (dash == std::string::npos) return IsTimeText(entry);
    const std::string from = entry.substr(0, dash);
    const std::string to = entry.substr(dash + 1);
    if (from.empty() && to.empty()) return false;
    return (from.empty() || IsTimeText(from)) && (to.empty() || IsTimeText(to));
}

}  // namespace

bool IsDurationList(const std::string& text) {
    std::size_t begin = 0;
    while (!text.empty()) {
        const std::size_t comma = text.find(',', begin);
        if (!IsWindowText(text.substr(begin, comma == std::string::npos ? std::string::npos : comma - begin))) {
            return false;
        }
        if (comma == std::string::npos) break;
        begin = comma + 1;
    }
    return true;
}

uint64_t TimeOfDayTicks(const TimeOfDay& time) {
    const uint64_t seconds = uint64_t{time.hours} * 3600 + uint64_t{time.minutes} * 60 + time.seconds;
    return seconds * kTicksPerSecond + uint64_t{time.milliseconds} * 90;
}

DurationWindow NextWindow(const std::string& text, std::size_t& cursor) {
    DurationWindow window;
    if (cursor == std::string::npos || cursor >= text.size()) return window;
    const std::size_t comma = text.find(',', cursor);
    const std::string entry = text.substr(cursor, comma == std::string::npos ? std::string::npos : comma - cursor);
    cursor = comma == std::string::npos ? std::string::npos : comma + 1;

    const std::size_t dash = entry.find('-');
    const std::string from = entry.substr(0, dash);
    if (!from.empty()) window.start = TimeOfDayTicks(ParseTimeOfDay(from.c_str()));
    if (dash == std::string::npos) {
        // A single time T: from the beginning up to T.
        window.end = window.start;
        window.start = 0;
        return window;
    }
    const std::string to = entry.substr(dash + 1);
    if (!to.empty()) window.end = TimeOfDayTicks(ParseTimeOfDay(to.c_str()));
    return window;
}

void OpenWindows(WindowState& state, const std::optional<std::string>& duration) {
    state = WindowState{};
    if (!duration) return;
    state.active = true;
    state.text = *duration;
    state.cursor = 0;
    state.current = NextWindow(state.text, state.cursor);
}

bool InsideWindow(WindowState& state, StreamContext& context) {
    if (!state.active) return true;
    const uint64_t position = ReferencePosition(context);
    while (!StopRequested) {
        if (state.current.start > position) return false;
        if (position <= state.current.end) return true;
        if (state.cursor == std::string::npos) return false;
        state.current = NextWindow(state.text, state.cursor);
    }
    return false;
}

bool WindowsEnded(const WindowState& state, StreamContext& context) {
    if (!state.active || state.cursor != std::string::npos) return false;
    return state.current.end <= ReferencePosition(context);
}
