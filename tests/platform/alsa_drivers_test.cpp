// The ALSA output's drivers and its failures, against an ALSA configuration of the
// test's own (ALSA_CONFIG_PATH), so that no sound server or card is needed.

#include "platform/sound/fsound.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

// No "default" PCM; a card that does not exist; PCMs with and without a description.
constexpr char ALSA_CONFIG[] = R"(
pcm.broken {
    type hw
    card 77
    hint { show on description "Broken card
second line" }
}
pcm.quiet {
    type null
    hint { show on description "Null output" }
}
pcm.plain {
    type null
    hint.show on
}
pcm.speaker {
    type null
    hint { show on description "Speaker" }
}
)";

std::filesystem::path gConfigPath;

std::vector<std::string> driverNames() {
    std::vector<std::string> names;
    for (int i = 0; i < FSOUND_GetNumDrivers(); ++i)
        names.push_back(FSOUND_GetDriverName(i));
    return names;
}

class AlsaOutput : public ::testing::Test {
  protected:
    void TearDown() override { FSOUND_Close(); }
};

TEST_F(AlsaOutput, ListsDefaultFirstThenPlaybackPcmsQuietly) {
    ::testing::internal::CaptureStderr();
    const std::vector<std::string> names = driverNames();
    // "default" is unknown here, which ALSA would complain of on stderr.
    ASSERT_TRUE(FSOUND_SetDriver(0));
    EXPECT_FALSE(FSOUND_Init(44100, 32, 0));
    const std::string alsaSaid = ::testing::internal::GetCapturedStderr();
    const std::vector<std::string> expected = {"default", "broken (Broken card)",
                                               "quiet (Null output)", "plain", "speaker (Speaker)"};
    EXPECT_EQ(names, expected);
    EXPECT_EQ(alsaSaid, "");
}

TEST_F(AlsaOutput, KeepsTheDriverListOnceAsked) {
    const int count = FSOUND_GetNumDrivers();
    std::ofstream(gConfigPath, std::ios::app) << "pcm.later { type null hint.show on }\n";
    EXPECT_EQ(FSOUND_GetNumDrivers(), count);
    EXPECT_EQ(FSOUND_GetDriverName(count), nullptr);
}

TEST_F(AlsaOutput, DeviceThatCannotOpenFailsInitWithInitError) {
    for (int driver : {0, 1}) { // no "default" here, and a missing card
        SCOPED_TRACE(driver);
        ASSERT_TRUE(FSOUND_SetDriver(driver));
        EXPECT_FALSE(FSOUND_Init(44100, 32, 0));
        EXPECT_EQ(FSOUND_GetError(), FSOUND_ERR_INIT);
        EXPECT_EQ(FSOUND_GetOutput(), FSOUND_OUTPUT_ALSA);
        // The library stays uninitialised.
        EXPECT_EQ(
            FSOUND_Stream_Create([](FSOUND_STREAM*, void*, int, void*) -> signed char { return 1; },
                                 32768, 0x01000150, 44100, nullptr),
            nullptr);
        EXPECT_EQ(FSOUND_GetError(), FSOUND_ERR_UNINITIALIZED);
    }
}

TEST_F(AlsaOutput, OpensAPlaybackPcm) {
    ASSERT_TRUE(FSOUND_SetDriver(2)); // "quiet", ALSA's null PCM
    ASSERT_TRUE(FSOUND_Init(44100, 32, 0));
    FSOUND_Close();
    EXPECT_TRUE(FSOUND_SetDriver(0));
}

} // namespace

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    char dir[] = "/tmp/alsa_drivers_test.XXXXXX";
    if (mkdtemp(dir) == nullptr) return 1;
    gConfigPath = std::filesystem::path(dir) / "asound.conf";
    std::ofstream(gConfigPath) << ALSA_CONFIG;
    setenv("ALSA_CONFIG_PATH", gConfigPath.c_str(), 1);
    const int result = RUN_ALL_TESTS();
    std::filesystem::remove_all(dir);
    return result;
}
