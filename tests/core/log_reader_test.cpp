// Reading gzip logs: damaged, cut and padded archives get the same verdict however their bytes
// arrive, and a damaged member hands on none of its lines.
#include "core/log_reader.h"

#include "core/run_harness.h"

#include <algorithm>

namespace brenvale::test {
namespace {

/// The three members of a sound archive and their text.
struct Archive {
    std::string text[3];
    std::string member[3];
    Archive() {
        const char* prefixes[] = {"a", "b", "c"};
        for (int i = 0; i < 3; ++i) {
            text[i] = (i == 0 ? kHeader : std::string()) +
                      ListenerLines(Numbered(prefixes[i], 300), static_cast<unsigned>(i));
            member[i] = Compressed(text[i]);
        }
    }
    std::string Whole() const { return member[0] + member[1] + member[2]; }
};

/// `bytes` with byte `at` (from the end when negative) changed.
std::string Flipped(std::string bytes, long at) {
    bytes[static_cast<std::size_t>(at < 0 ? static_cast<long>(bytes.size()) + at : at)] ^= 0x55;
    return bytes;
}

struct HostileCase {
    const char* what;
    std::string bytes;
    const char* error; ///< in the reason; empty: read whole and sound
    int soundMembers;  ///< members checked whole before the damage
    bool cut = false;  ///< ends inside a member
};

std::vector<HostileCase> HostileCases(const Archive& a) {
    const std::string& m0 = a.member[0];
    const std::string& m1 = a.member[1];
    const std::string& m2 = a.member[2];
    return {
        {"sound", a.Whole(), "", 3},
        {"zero padding after the last member, as tapes and some tools leave",
         a.Whole() + std::string(700, '\0'), "", 3},
        {"a bad CRC in the middle member", m0 + Flipped(m1, -8) + m2, "gzip member 2 is damaged",
         1},
        {"a bad length in the last member", m0 + m1 + Flipped(m2, -2), "gzip member 3 is damaged",
         2},
        {"a second magic followed by an unknown method", m0 + Flipped(m1, 2) + m2,
         "gzip member 2 is damaged", 1},
        {"damage inside the middle member's data",
         m0 + Flipped(m1, static_cast<long>(m1.size() / 2)) + m2, "gzip member 2 is damaged", 1},
        {"cut inside the last member", m0 + m1 + m2.substr(0, m2.size() / 2), "", 2, true},
        {"cut inside the last member's header", m0 + m1 + m2.substr(0, 5), "", 2, true},
        {"trailing garbage", a.Whole() + "garbage\n", "member 3 is followed by bytes that are not",
         3},
        {"garbage after zero padding", a.Whole() + std::string(9, '\0') + "x",
         "member 3 is followed by bytes that are not", 3},
    };
}

/// What one way of reading made of an archive.
struct Verdict {
    std::string error;
    int membersEnded = 0;
    bool atMemberEnd = false;
    std::string soundText; ///< the text of the members checked whole
    bool operator==(const Verdict&) const = default;
};

Verdict InflateInPieces(const std::string& bytes, std::size_t piece) {
    GzipInflater inflater;
    Verdict verdict;
    std::string text;
    for (std::size_t at = 0; at < bytes.size() && verdict.error.empty(); at += piece)
        inflater.Feed(
            std::string_view(bytes).substr(at, piece), [](int) { return true; },
            [&](std::string_view out) {
                text.append(out);
                return true;
            },
            verdict.error,
            [&](int) {
                ++verdict.membersEnded;
                verdict.soundText = text;
                return true;
            });
    verdict.atMemberEnd = inflater.AtMemberEnd();
    return verdict;
}

TEST(GzipInflater, AHostileArchiveGetsOneVerdictWhateverThePieces) {
    const Archive a;
    ASSERT_GT(a.Whole().size(), 4096u * 2);
    for (const HostileCase& c : HostileCases(a)) {
        SCOPED_TRACE(c.what);
        const Verdict whole = InflateInPieces(c.bytes, c.bytes.size());
        EXPECT_THAT(whole.error, HasSubstr(c.error));
        EXPECT_EQ(whole.error.empty(), std::string(c.error).empty()) << whole.error;
        EXPECT_EQ(whole.membersEnded, c.soundMembers);
        EXPECT_EQ(whole.atMemberEnd, !c.cut);
        std::string sound;
        for (int i = 0; i < c.soundMembers; ++i)
            sound += a.text[i];
        EXPECT_TRUE(whole.soundText == sound);
        for (const std::size_t piece : {std::size_t{1}, std::size_t{7}, std::size_t{4096}}) {
            SCOPED_TRACE(piece);
            EXPECT_TRUE(InflateInPieces(c.bytes, piece) == whole);
        }
    }
}

TEST(ReadLocalLog, AGzipMemberIsHandedOnOnlyOnceItIsCheckedWhole) {
    const Archive a;
    const std::string dir = ScratchDir("reader");
    for (const HostileCase& c : HostileCases(a)) {
        SCOPED_TRACE(c.what);
        const std::string path = WriteFile(dir + "/archive.gz", c.bytes);
        std::string text;
        std::vector<int> streams;
        LocalReadCallbacks callbacks;
        callbacks.onStream = [&](int index, std::uint64_t) {
            streams.push_back(index);
            return true;
        };
        callbacks.onBytes = [&](std::string_view bytes) {
            text.append(bytes);
            return true;
        };
        const LocalReadResult read = ReadLocalLog(path, 0, 0, callbacks);
        EXPECT_EQ(read.ok, std::string(c.error).empty()) << read.error;
        EXPECT_THAT(read.error, HasSubstr(c.error));
        EXPECT_EQ(read.cutShort, c.cut);
        std::string sound;
        for (int i = 0; i < c.soundMembers; ++i)
            sound += a.text[i];
        if (c.cut) {
            // What the cut member holds so far follows the sound ones.
            EXPECT_EQ(text.substr(0, sound.size()), sound);
            EXPECT_EQ(a.text[2].substr(0, text.size() - sound.size()), text.substr(sound.size()));
        } else {
            EXPECT_TRUE(text == sound) << text.size() << " bytes, " << sound.size() << " sound";
        }
    }
}

TEST(ReadLocalLog, TwentyThousandSmallMembersAreReadInTurnAndEachCanBeStartedAt) {
    std::string bytes;
    for (int i = 0; i < 20000; ++i)
        bytes += Compressed(LogLine("m" + std::to_string(i)) + "\n");
    const std::string path = WriteFile(ScratchDir("members") + "/many.gz", bytes);
    std::vector<std::uint64_t> starts;
    std::size_t lines = 0;
    LocalReadCallbacks callbacks;
    callbacks.onStream = [&](int, std::uint64_t at) {
        starts.push_back(at);
        return true;
    };
    callbacks.onBytes = [&](std::string_view piece) {
        lines += static_cast<std::size_t>(std::count(piece.begin(), piece.end(), '\n'));
        return true;
    };
    EXPECT_TRUE(ReadLocalLog(path, 0, 0, callbacks).ok);
    EXPECT_EQ(lines, 20000u);
    ASSERT_EQ(starts.size(), 20000u);
    // Started where the member begins, only that member and those after it are read.
    std::string text;
    callbacks.onStream = [](int, std::uint64_t) { return true; };
    callbacks.onBytes = [&](std::string_view piece) {
        text.append(piece);
        return true;
    };
    EXPECT_TRUE(ReadLocalLog(path, 19998, 10, callbacks, starts[19998]).ok);
    EXPECT_EQ(text, (LogLine("m19998") + "\n").substr(10) + LogLine("m19999") + "\n");
}

} // namespace
} // namespace brenvale::test
