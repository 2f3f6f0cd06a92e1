// Real caption streams, packed into PES and transport packets, through the
// whole caption path. The expected first lines are the ones the samples'
// own text dumps show.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "caption_fixture.h"

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

}  // namespace
