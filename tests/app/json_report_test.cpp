// The run's JSON report, read back with a real JSON parser and held against
// what the console says of the same run.
#ifndef _WIN32
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <nlohmann/json.hpp>
#include <regex>
#include <string>

#include "tests/app/program_fixture.h"
#include "tests/support/stream_builder.h"

namespace {

using Json = nlohmann::json;

std::string Utf8(const char8_t* text) {
    return reinterpret_cast<const char*>(text);
}

struct SummaryRow {
    long long drops = 0;
    bool counted = true;
};

// The -drop summary rows of a console text, by PID.
std::map<int, SummaryRow> SummaryRows(const std::string& console) {
    std::map<int, SummaryRow> rows;
    const std::regex row("0x([0-9A-F]{4}) : 0x[0-9A-F]{2} : ([0-9]+) Drops? : [0-9]+ Total ([^\r]*)\r\n");
    for (std::sregex_iterator it(console.begin(), console.end(), row), end; it != end; ++it) {
        rows[std::stoi((*it)[1].str(), nullptr, 16)] = SummaryRow{std::stoll((*it)[2].str()), (*it)[3].str().empty()};
    }
    return rows;
}

class Report : public ProgramFixture {
protected:
    Json ReadReport(const char* name = "r.json") const {
        return Json::parse(ReadText(dir_ / name));  // throws, and fails the test, on a broken document
    }
    // The report of one input, copied into the scratch folder first.
    Json ReportOf(const std::filesystem::path& input, RunResult& result, const std::string& options = "") const {
        std::filesystem::copy_file(input, dir_ / "in.ts");
        result = Run("in.ts -drop -noprogress -throughpath out.ts -jsonpath r.json " + options);
        return ReadReport();
    }
    static long long Sum(const Json& pids, const char* field) {
        long long total = 0;
        for (const Json& pid : pids)
            total += pid[field].get<long long>();
        return total;
    }
    static const Json& Pid(const Json& job, int pid) {
        for (const Json& entry : job["pids"]) {
            if (entry["pid"] == pid) return entry;
        }
        ADD_FAILURE() << "no PID " << pid;
        return job;
    }
};

TEST_F(Report, DemoStreamAgreesWithTheSummaryAndLeavesEverythingElseAsItWas) {
    const std::filesystem::path demo = std::filesystem::path(TRELVAN_SOURCE_DIR) / "samples" / "demo.ts";
    RunResult result;
    const Json report = ReportOf(demo, result);
    const RunResult plain = Run("in.ts -drop -noprogress -throughpath plain.ts");
    EXPECT_EQ(result.out, plain.out);
    EXPECT_EQ(result.exitCode, plain.exitCode);
    EXPECT_EQ(ReadText(dir_ / "out.ts"), ReadText(dir_ / "plain.ts"));

    EXPECT_EQ(report["program"], "trelvan");
    EXPECT_EQ(report["exit_status"], result.exitCode);
    EXPECT_EQ(report["stopped"], false);
    ASSERT_EQ(report["jobs"].size(), 1u);
    const Json& job = report["jobs"][0];
    EXPECT_EQ(job["result"], "ok");
    EXPECT_EQ(job["drops"], result.exitCode);
    EXPECT_EQ(job["packets"], 1422);
    EXPECT_EQ(job["packets_written"], 1422);
    EXPECT_EQ(job["bytes_read"], 1422 * 188);
    EXPECT_EQ(job["packet_size"], 188);
    const auto rows = SummaryRows(result.out);
    ASSERT_EQ(rows.size(), job["pids"].size());
    for (const auto& [pid, row] : rows) {
        SCOPED_TRACE(pid);
        EXPECT_EQ(Pid(job, pid)["drops"], row.drops);
        EXPECT_EQ(Pid(job, pid)["counted"], row.counted);
    }
    EXPECT_EQ(Pid(job, 0x01FF)["kind"], "PCR");
    EXPECT_EQ(Pid(job, 0x0111)["kind"], "video");
    EXPECT_EQ(Pid(job, 0x0130)["kind"], "caption");
    EXPECT_EQ(job["services"], Json::parse(Utf8(u8R"([{"service_id": 1024, "name": "デモ放送"}])")));
    EXPECT_EQ(job["events"], Json::parse(Utf8(u8R"([
        {"service_id": 1024, "event_id": 4097, "start": "2026-12-07T20:00:00+09:00", "duration_s": 3600,
         "name": "ニュース"},
        {"service_id": 1024, "event_id": 4098, "start": "2026-12-07T21:00:00+09:00", "duration_s": 1800,
         "name": "天気予報"}])")));
    EXPECT_EQ(job["captions"], 3);
    EXPECT_EQ(job["broadcast_time"]["first"], "2026-12-07T20:59:50+09:00");
    EXPECT_EQ(job["wrap_around"], "2026-12-08T23:30:23+09:00");
}

TEST_F(Report, RealCapturesCountScrambledAndErrorFlaggedPackets) {
    const std::filesystem::path samples = std::filesystem::path(TRELVAN_SOURCE_DIR) / ".." / "shared" / "samples";
    if (!std::filesystem::exists(samples / "bs_scrambled_pmt_nit_eit.ts")) {
        GTEST_SKIP() << "sample recordings not present";
    }
    RunResult result;
    const Json bs = ReportOf(samples / "bs_scrambled_pmt_nit_eit.ts", result)["jobs"][0];
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_EQ(Sum(bs["pids"], "scrambled"), 484);
    EXPECT_EQ(Sum(bs["pids"], "transport_errors"), 0);
    EXPECT_EQ(bs["packets"], 580);
    EXPECT_EQ(Pid(bs, 0x1FFF), Json::parse(R"({"pid": 8191, "kind": "null", "packets": 78, "drops": 77,
        "counted": false, "scrambled": 0, "transport_errors": 0})"));
    EXPECT_EQ(Pid(bs, 0x0140)["kind"], "video");
    EXPECT_EQ(Pid(bs, 0x0100)["kind"], "PCR");
    EXPECT_EQ(bs["drops"], 0);
    EXPECT_EQ(bs["drops_not_counted"], 77);

    std::filesystem::remove(dir_ / "in.ts");
    const Json tei = ReportOf(samples / "terr_bit_tei_errors.ts", result)["jobs"][0];
    EXPECT_EQ(Sum(tei["pids"], "transport_errors"), 5);
    EXPECT_EQ(Pid(tei, 0x195C)["packets"], 4);
    EXPECT_EQ(Pid(tei, 0x0024)["packets"], 2);
}

TEST_F(Report, WrittenAfterCtrlC) {
    const RunResult result = Run("CON -noprogress -throughpath out.ts -jsonpath r.json", "", "/dev/zero",
                                 "timeout --preserve-status -k 10 -s INT 1");
    EXPECT_EQ(result.exitCode, 0);
    const Json report = ReadReport();
    EXPECT_EQ(report["stopped"], true);
    EXPECT_EQ(report["jobs"][0]["result"], "stopped");
    EXPECT_EQ(report["jobs"][0]["packet_size"], nullptr);
}

TEST_F(Report, RefusedJobsAndUnwritableReportsFailTheRun) {
    const std::string rec = WriteStream("rec.ts", 10);
    RunResult result = Run("rec.ts nothere.ts -noprogress -throughpath out.ts -jsonpath r.json");
    EXPECT_EQ(result.exitCode, 255);
    const Json report = ReadReport();
    EXPECT_EQ(report["exit_status"], 255);
    EXPECT_EQ(report["jobs"][1], Json::parse(R"({"input": "nothere.ts", "start_offset": 0, "output": "out.ts",
        "result": "input_missing", "bytes_read": 0, "packet_size": null, "packets": 0, "packets_written": 0,
        "drops": 0, "drops_not_counted": 0, "pids": [], "pcr": {"first": null, "last": null, "elapsed_ms": 0},
        "broadcast_time": {"first": null, "last": null}, "services": [], "events": [], "captions": 0,
        "wrap_around": null})"));

    // A name in code page 932 bytes is reported in UTF-8.
    result = Run("$(printf '\\203\\145\\203\\130\\203\\147.ts') -noprogress -jsonpath r.json");
    EXPECT_EQ(ReadReport()["jobs"][0]["input"], Utf8(u8"テスト.ts"));

    result = Run("rec.ts -noprogress -throughpath out.ts -jsonpath rec.ts");
    EXPECT_EQ(result.exitCode, 255);
    EXPECT_EQ(ReadText(dir_ / "rec.ts"), rec);

    result = Run("rec.ts -noprogress -throughpath out.ts -jsonpath nodir/r.json");
    EXPECT_EQ(result.exitCode, 255);
    EXPECT_EQ(result.out, "\n－ レポートファイルを書き込めません nodir/r.json\n");
}

}  // namespace
#endif
