// The "com.quenmar." parameters as a SET-PARAMS, SPEAK or GET-PARAMS hands them over.
#include <string.h>

#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "apt_pair.h"
#include "log_capture.h"
#include "vendor_specific_parameters.h"

static ::testing::Environment* const log_env = ::testing::AddGlobalTestEnvironment(new log_environment);

namespace {

class VendorSpecific : public ::testing::Test {
protected:
    void SetUp() override
    {
        apr_pool_create(&pool, NULL);
        reset();
    }
    void reset()
    {
        memset(&vs, 0, sizeof(vs));
        vs.pitch = PROSODY_PITCH_MEDIUM;
        vs.voice_style = 1;
        vs.codepage = 65001;
    }
    void TearDown() override { apr_pool_destroy(pool); }

    apr_array_header_t* pairs(const std::vector<std::pair<std::string, std::string>>& items)
    {
        apr_array_header_t* arr = apt_pair_array_create(1, pool);
        for (const auto& item : items) {
            apt_str_t name, value;
            apt_string_assign(&name, item.first.c_str(), pool);
            apt_string_assign(&value, item.second.c_str(), pool);
            apt_pair_array_append(arr, &name, &value, pool);
        }
        return arr;
    }

    apt_bool_t set(const std::string& name, const std::string& value)
    {
        return set_vendor_specific_parameters(&vs, pairs({{name, value}}));
    }

    std::vector<std::pair<std::string, std::string>> get(apr_array_header_t* wanted)
    {
        apr_array_header_t* out = NULL;
        EXPECT_TRUE(get_vendor_specific_parameters(&vs, wanted, &out, pool));
        std::vector<std::pair<std::string, std::string>> result;
        for (int i = 0; i < apt_pair_array_size_get(out); i++) {
            const apt_pair_t* p = apt_pair_array_get(out, i);
            result.emplace_back(apt_string_buffer_get(&p->name), apt_string_buffer_get(&p->value));
        }
        return result;
    }

    apr_pool_t* pool = NULL;
    vendor_specific_t vs;
};

struct set_case {
    const char* name;
    const char* text;
    bool accepted;
    apr_size_t stored;   // the field afterwards (the old value when refused)
};

} // namespace

TEST_F(VendorSpecific, EachParameterAtItsBoundsAndBeyond)
{
    const set_case cases[] = {
        {"com.quenmar.voicedomain", "0", true, 0},
        {"com.quenmar.voicedomain", "31", true, 31},
        {"com.quenmar.voicedomain", "32", false, 0},
        {"com.quenmar.voicestyle", "0", true, 0},
        {"com.quenmar.voicestyle", "1", true, 1},
        {"com.quenmar.voicestyle", "2", false, 1},
        {"com.quenmar.codepage", "950", true, 950},
        {"com.quenmar.codepage", "936", true, 936},
        {"com.quenmar.codepage", "949", true, 949},
        {"com.quenmar.codepage", "932", true, 932},
        {"com.quenmar.codepage", "1200", true, 1200},
        {"com.quenmar.codepage", "1252", true, 1252},
        {"com.quenmar.codepage", "1201", true, 1201},
        {"com.quenmar.codepage", "65001", true, 65001},
        {"com.quenmar.codepage", "1251", false, 65001},
        {"com.quenmar.codepage", "0", false, 65001},
        {"com.quenmar.codepage", "", false, 65001},
        {"com.quenmar.backaudio", "0", true, 0},
        {"com.quenmar.backaudio", "10000", true, 10000},
        {"com.quenmar.backaudio", "10001", false, 0},
        {"com.quenmar.backaudiovolume", "100", true, 100},
        {"com.quenmar.backaudiovolume", "101", false, 0},
        {"com.quenmar.backaudioflag", "1", true, 1},
        {"com.quenmar.backaudioflag", "2", false, 0},
        {"com.quenmar.digitmode", "3", true, 3},
        {"com.quenmar.digitmode", "4", false, 0},
        {"com.quenmar.engmode", "3", true, 3},
        {"com.quenmar.engmode", "4", false, 0},
        {"com.quenmar.tagmode", "5", true, 5},
        {"com.quenmar.tagmode", "6", false, 0},
        {"com.quenmar.puncmode", "3", true, 3},
        {"com.quenmar.puncmode", "4", false, 0},
        // An empty value is the number 0.
        {"com.quenmar.voicedomain", "", true, 0},
        {"com.quenmar.puncmode", "", true, 0},
        // Signs, blanks and decimal points are not numbers.
        {"com.quenmar.voicedomain", "+1", false, 0},
        {"com.quenmar.voicedomain", "-1", false, 0},
        {"com.quenmar.voicedomain", " 1", false, 0},
        {"com.quenmar.voicedomain", "1 ", false, 0},
        {"com.quenmar.voicedomain", "1.0", false, 0},
        {"com.quenmar.tagmode", "-1", false, 0},
        // Values whose low 32 bits lie in range are still out of range.
        {"com.quenmar.voicedomain", "4294967297", false, 0},
        {"com.quenmar.backaudio", "4294967296", false, 0},
        {"com.quenmar.voicestyle", "4294967296", false, 1},
        {"com.quenmar.codepage", "4294968246", false, 65001},
        {"com.quenmar.backaudio", "18446744073709551616", false, 0},
        {"com.quenmar.backaudio", "99999999999999999999999", false, 0},
        // Labels of the pitch in any case; numbers are not labels.
        {"com.quenmar.pitch", "X-HIGH", true, PROSODY_PITCH_XHIGH},
        {"com.quenmar.pitch", "x-low", true, PROSODY_PITCH_XLOW},
        {"com.quenmar.pitch", "Default", true, PROSODY_PITCH_DEFAULT},
        {"com.quenmar.pitch", "4", false, PROSODY_PITCH_MEDIUM},
        {"com.quenmar.pitch", "", false, PROSODY_PITCH_MEDIUM},
        {"com.quenmar.pitch", "higher", false, PROSODY_PITCH_MEDIUM},
    };
    for (const set_case& c : cases) {
        reset();
        unsigned long index = 0;
        while (strcmp(vendor_specific_parameters_string_table[index], c.name) != 0)
            index++;
        EXPECT_EQ(c.accepted ? TRUE : FALSE, set(c.name, c.text)) << c.name << "=" << c.text;
        EXPECT_EQ(c.stored, get_vendor_specific_parameters_value(&vs, index)) << c.name << "=" << c.text;
    }
}

TEST_F(VendorSpecific, ParameterNamesMatchInAnyCase)
{
    EXPECT_TRUE(set("COM.QUENMAR.TAGMODE", "2"));
    EXPECT_EQ(2u, vs.tag_mode);
}

TEST_F(VendorSpecific, RefusalsAreLoggedWithTheTextAndTheParameter)
{
    {
        log_capture logs;
        EXPECT_FALSE(set("com.quenmar.voicedomain", "32"));
        EXPECT_TRUE(logs.has(APT_PRIO_DEBUG, "str2val_voicedomain failed, 32 is invalid")) << logs.dump();
        ASSERT_FALSE(logs.records().empty());
        EXPECT_EQ(0u, logs.records().back().text.find("set_vendor_specific_parameters failed, com.quenmar.voicedomain="));
    }
    {
        log_capture logs;
        EXPECT_FALSE(set("com.quenmar.digitmode", "x"));
        EXPECT_TRUE(logs.has(APT_PRIO_DEBUG, "str2val_digitmode failed, x is invalid")) << logs.dump();
    }
    {
        log_capture logs;
        EXPECT_FALSE(set("com.quenmar.digitmode", "9"));
        EXPECT_TRUE(logs.has(APT_PRIO_ERROR, "str2val_digitmode failed, 9 is invalid")) << logs.dump();
    }
    {
        log_capture logs;
        EXPECT_FALSE(set("com.quenmar.puncmode", "+1"));
        EXPECT_TRUE(logs.has(APT_PRIO_ERROR, "str2val_puncmode failed, +1 is invalid")) << logs.dump();
    }
}

TEST_F(VendorSpecific, StopsAtTheFirstRefusalInTableOrder)
{
    // backaudio comes first in the request but after the code page in the table.
    apr_array_header_t* request = pairs({{"com.quenmar.backaudio", "7"},
                                         {"com.quenmar.pitch", "high"},
                                         {"com.quenmar.codepage", "1251"},
                                         {"com.quenmar.voicedomain", "12"},
                                         {"other.vendor.key", "zzz"}});
    EXPECT_FALSE(set_vendor_specific_parameters(&vs, request));
    EXPECT_EQ(PROSODY_PITCH_HIGH, vs.pitch);
    EXPECT_EQ(12u, vs.voice_domain);
    EXPECT_EQ(65001u, vs.codepage);
    EXPECT_EQ(0u, vs.backaudio);
}

TEST_F(VendorSpecific, AppliesEveryParameterAndIgnoresOtherNames)
{
    EXPECT_TRUE(set_vendor_specific_parameters(&vs, pairs({{"com.quenmar.puncmode", "2"},
                                                           {"com.quenmar.backaudio", "9999"},
                                                           {"other.vendor.key", "zzz"}})));
    EXPECT_EQ(2u, vs.punc_mode);
    EXPECT_EQ(9999u, vs.backaudio);
    EXPECT_TRUE(set_vendor_specific_parameters(&vs, NULL));
}

TEST_F(VendorSpecific, GetWithoutAListReportsAllInTableOrder)
{
    vs.pitch = PROSODY_PITCH_XHIGH;
    vs.voice_domain = 31;
    vs.tag_mode = 4;
    const std::vector<std::pair<std::string, std::string>> expected = {
        {"com.quenmar.pitch", "x-high"},       {"com.quenmar.voicedomain", "31"},
        {"com.quenmar.voicestyle", "1"},       {"com.quenmar.codepage", "65001"},
        {"com.quenmar.backaudio", "0"},        {"com.quenmar.backaudiovolume", "0"},
        {"com.quenmar.backaudioflag", "0"},    {"com.quenmar.digitmode", "0"},
        {"com.quenmar.engmode", "0"},          {"com.quenmar.tagmode", "4"},
        {"com.quenmar.puncmode", "0"},
    };
    EXPECT_EQ(expected, get(NULL));
}

TEST_F(VendorSpecific, GetWithAListReportsOnlyThoseInTableOrder)
{
    vs.tag_mode = 3;
    EXPECT_EQ((std::vector<std::pair<std::string, std::string>>{{"com.quenmar.tagmode", "3"}}),
              get(pairs({{"com.quenmar.tagmode", ""}})));
    EXPECT_EQ((std::vector<std::pair<std::string, std::string>>{{"com.quenmar.pitch", "medium"},
                                                                {"com.quenmar.tagmode", "3"}}),
              get(pairs({{"com.quenmar.tagmode", "99"}, {"com.quenmar.pitch", ""}})));
}

TEST_F(VendorSpecific, GetLeavesOutValuesThatCannotBePrinted)
{
    vs.pitch = PROSODY_PITCH_UNKNOWN;
    vs.backaudio = 4294967296ull;  // only the configuration can put such a value here
    log_capture logs;
    auto reported = get(NULL);
    EXPECT_EQ(9u, reported.size());
    EXPECT_EQ("com.quenmar.voicedomain", reported.front().first);
    EXPECT_TRUE(logs.has(APT_PRIO_DEBUG, "val2str_pitch failed, 6 is invalid")) << logs.dump();
}

TEST_F(VendorSpecific, PrintingOutOfRangeLeavesTheBufferUntouched)
{
    char buffer[VENDOR_SPECIFIC_VALUE_SIZE] = "unchanged";
    EXPECT_FALSE(val2str_backaudio(10001, buffer));
    EXPECT_FALSE(val2str_codepage(1251, buffer));
    EXPECT_FALSE(val2str_pitch(6, buffer));
    EXPECT_STREQ("unchanged", buffer);
    EXPECT_TRUE(val2str_voicedomain(31, buffer));
    EXPECT_STREQ("31", buffer);
}

TEST_F(VendorSpecific, ValueAccessByIndex)
{
    EXPECT_TRUE(set_vendor_specific_parameters_value(&vs, VENDOR_SPECIFIC_ENGMODE, 2));
    EXPECT_EQ(2u, vs.eng_mode);
    EXPECT_FALSE(set_vendor_specific_parameters_value(&vs, VENDOR_SPECIFIC_COUNT, 2));
    EXPECT_EQ(0u, get_vendor_specific_parameters_value(&vs, VENDOR_SPECIFIC_COUNT));
    EXPECT_EQ((apr_size_t)PROSODY_PITCH_MEDIUM, get_vendor_specific_parameters_value(&vs, VENDOR_SPECIFIC_PITCH));
}

TEST(PitchLabels, LookupsAndLevels)
{
    EXPECT_EQ(PROSODY_PITCH_HIGH, get_pitch_lable("HIGH"));
    EXPECT_EQ(PROSODY_PITCH_UNKNOWN, get_pitch_lable(NULL));
    EXPECT_EQ(PROSODY_PITCH_UNKNOWN, get_pitch_lable("highest"));

    const apr_size_t id2value[] = {0, 3, 5, 7, 9, 5, 5};
    for (int label = 0; label <= PROSODY_PITCH_UNKNOWN; label++)
        EXPECT_EQ(id2value[label], prosody_pitch_id2value((synth_pitch_label_e)label)) << label;

    const int value2id[] = {0, 1, 1, 1, 2, 2, 3, 3, 4, 4, 5, 5};
    for (apr_size_t level = 0; level < 12; level++)
        EXPECT_EQ(value2id[level], prosody_pitch_value2id(level)) << level;
}

TEST(IsNumber, DigitsOnly)
{
    EXPECT_TRUE(is_number(""));
    EXPECT_TRUE(is_number("0123456789"));
    EXPECT_FALSE(is_number("+1"));
    EXPECT_FALSE(is_number("1e3"));
    EXPECT_FALSE(is_number("\xd9\xa1"));  // a non-ASCII digit
}
