// Real caption streams, packed into PES and transport packets, through the
// whole caption path. The expected first lines are the ones the samples'
// own text dumps show.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "caption_fixture.h"
#include "report/reporter.h"

namespace {

using namespace captiontest;

struct SampleRun {
    std::size_t payloads = 0;
    std::size_t packets = 0;
    std::size_t refused = 0;  // packets for which the caption path said no
    std::vector<std::string> printed;
    uint8_t selectedGroup = 0;
};

SampleRun RunSample(const Bytes& file) {
    SampleRun run;
    const std::vector<Bytes> payloads = SplitPayloads(file);
    run.payloads = payloads.size();
    tsb::StreamBuilder builder;
    uint64_t pts = 0x100000;
    for (const Bytes& payload : payloads) {
        builder.Pes(0x0130, tsb::MakePes(0xBD, pts, std::nullopt, payload));
        pts += 9000;
    }
    CaptionRig rig;
    const Bytes& stream = builder.Data();
    for (std::size_t at = 0; at + 188 <= stream.size(); at += 188) {
        if (!rig.Feed(Bytes(stream.begin() + static_cast<long>(at), stream.begin() + static_cast<long>(at + 188)))) {
            ++run.refused;
        }
        if (rig.Changed()) {
            run.printed.push_back(rig.Text());
            rig.caption.decoder.text.changed = 0;
        }
    }
    run.packets = builder.PacketCount();
    run.selectedGroup = rig.caption.selectedGroup;
    return run;
}

bool AnyContains(const std::vector<std::string>& texts, const std::string& part) {
    for (const std::string& text : texts) {
        if (text.find(part) != std::string::npos) return true;
    }
    return false;
}

struct SampleCase {
    const char* file;
    std::size_t payloads;
    uint8_t selectedGroup;
    const char* firstLine;
    std::vector<const char*> laterParts;
};

TEST(CaptionSamples, DecodeEndToEnd) {
    const std::vector<SampleCase> cases = {
        {"caption_toriko.es", 1733, 0x21, "＜世はグルメ時代＞", {"あまたの食材を追い求める＞", "ＧＯＤの捕獲を目指す"}},
        {"caption_conan846.es",
         858,
         0x01,
         "（コナン）＜目覚めると俺は暗闇の中にいた＞",
         {"新作のゲームソフトを買いに行く途中 とある事務所で&#xe285;"}},
        {"caption_aijin_jpn_eng.es",
         2029,
         0x01,
         "パソコンさとう[MF_DRCS_2;0x42]（佐藤）やあ また会ったね。&#xe285;",
         {"今日 話すのは楽しい話じゃない。"}},
        {"caption_lion4_jpn_eng.es",
         2007,
         0x21,
         "&#x266c;～",
         {"&#x266c;「魔法の言葉　覚えている虹の始まったところ」"}},
        {"caption_pokemon2023_drcs.es",
         3866,
         0x01,
         "＜リコ：みんなのおかげでぶじともど無事に取り戻せた[MF_DRCS_1;0x21]",
         {"私の記憶とペンダント。", "ガラル地方目指して 出発です！"}},
    };
    int found = 0;
    for (const SampleCase& c : cases) {
        SCOPED_TRACE(c.file);
        const std::optional<Bytes> file = ReadSample(c.file);
        if (!file) continue;
        ++found;
        const SampleRun run = RunSample(*file);
        EXPECT_EQ(run.payloads, c.payloads);
        // Every packet either continues a PES or completes one whose data
        // group passes its CRC.
        EXPECT_EQ(run.refused, 0u);
        EXPECT_EQ(run.selectedGroup, c.selectedGroup);
        ASSERT_FALSE(run.printed.empty());
        EXPECT_EQ(run.printed.front(), c.firstLine);
        for (const char* part : c.laterParts)
            EXPECT_TRUE(AnyContains(run.printed, part)) << part;
        // Consecutive printed texts always differ.
        for (std::size_t i = 1; i < run.printed.size(); ++i)
            EXPECT_NE(run.printed[i], run.printed[i - 1]);
    }
    if (found == 0) GTEST_SKIP() << "caption samples not present";
}

std::size_t CountContaining(const std::vector<std::string>& texts, const std::string& part) {
    std::size_t count = 0;
    for (const std::string& text : texts)
        count += text.find(part) != std::string::npos ? 1 : 0;
    return count;
}

// The printed captions as a UTF-8 console shows them: the arrow (0x7C21) and
// the notes (0x7D7A) as characters, exactly where code page 932 has their
// escapes.
TEST(CaptionSamples, SymbolsInUtf8) {
    struct Counts {
        const char* file;
        std::size_t captions;
        std::size_t arrows;
        std::size_t notes;
    };
    const std::vector<Counts> cases = {
        {"caption_toriko.es", 294, 58, 7},          {"caption_conan846.es", 326, 42, 12},
        {"caption_aijin_jpn_eng.es", 336, 84, 24},  {"caption_lion4_jpn_eng.es", 366, 47, 30},
        {"caption_pokemon2023_drcs.es", 714, 0, 0},
    };
    const std::string arrow = "\xE2\x9E\xA1";
    const std::string notes = "\xE2\x99\xAC";
    int found = 0;
    for (const Counts& c : cases) {
        SCOPED_TRACE(c.file);
        const std::optional<Bytes> file = ReadSample(c.file);
        if (!file) continue;
        ++found;
        const SampleRun run = RunSample(*file);
        std::vector<std::string> utf8;
        for (const std::string& text : run.printed)
            utf8.push_back(FormatUtf8Message("%s", text.c_str()));
        EXPECT_EQ(run.printed.size(), c.captions);
        EXPECT_EQ(CountContaining(run.printed, "&#xe285;"), c.arrows);
        EXPECT_EQ(CountContaining(utf8, arrow), c.arrows);
        EXPECT_EQ(CountContaining(run.printed, "&#x266c;"), c.notes);
        EXPECT_EQ(CountContaining(utf8, notes), c.notes);
        EXPECT_EQ(CountContaining(utf8, "&#x"), 0u);
    }
    if (found == 0) GTEST_SKIP() << "caption samples not present";
}

}  // namespace
