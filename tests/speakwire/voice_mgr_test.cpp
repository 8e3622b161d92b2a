// The voice chosen for a SPEAK from the channel's Voice-Name.
#include <string>

#include <gtest/gtest.h>

#include "voice_mgr.h"

TEST(FindVoice, ByNameDefaultAndNoMatch)
{
    const struct { const char* name; bool found; const char* voice; } cases[] = {
        {"tolsk", true, "chinese_tolsk_common"},
        {"duvelt", true, "chinese_duvelt_common"},
        {NULL, true, "chinese_brenic_common"},
        {"Tolsk", false, ""},
        {"chinese", false, ""},
        {"common", false, ""},
        {"", false, ""},  // "__" is in no identifier
    };
    for (const auto& c : cases) {
        char voice_id[VOICE_ID_SIZE] = "";
        EXPECT_EQ(c.found ? TRUE : FALSE, find_voice(voice_id, c.name, 0, 0, 0, 0)) << (c.name ? c.name : "NULL");
        EXPECT_STREQ(c.voice, voice_id) << (c.name ? c.name : "NULL");
    }
}

TEST(FindVoice, LongNamesAreSearchedWithoutOverrun)
{
    char voice_id[VOICE_ID_SIZE] = "";
    std::string name(100000, 'x');
    EXPECT_FALSE(find_voice(voice_id, name.c_str(), 0, 0, 0, 0));
    EXPECT_STREQ("", voice_id);
}
