#include "res/format.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "res/strings.h"

namespace {

std::string Format(const char* format, const std::vector<uint32_t>& args) {
    char out[256];
    const size_t length = FormatMessage(out, sizeof out, format, args.data(), args.size());
    EXPECT_EQ(length, std::strlen(out)) << format;
    return out;
}

struct FormatCase {
    const char* format;
    std::vector<uint32_t> args;
    const char* expected;
};

void PrintTo(const FormatCase& c, std::ostream* os) {
    *os << '"' << c.format << '"';
}

class FormatCases : public testing::TestWithParam<FormatCase> {};

TEST_P(FormatCases, Expands) {
    const FormatCase& c = GetParam();
    EXPECT_EQ(Format(c.format, c.args), c.expected) << "format: " << c.format;
}

INSTANTIATE_TEST_SUITE_P(
    Markers, FormatCases,
    testing::Values(
        // The two rows the progress window fills.
        FormatCase{"Transfer Size %1!u! / %2!u! Bytes",
                   {262144, 1048576},
                   "Transfer Size 262144 / 1048576 Bytes"},
        FormatCase{
            "Elapse %1!2u! sec / Remain %2!2u! sec", {20, 60}, "Elapse 20 sec / Remain 60 sec"},
        FormatCase{
            "Elapse %1!2u! sec / Remain %2!2u! sec", {5, 0}, "Elapse  5 sec / Remain  0 sec"},
        FormatCase{"Elapse %1!2u! sec / Remain %2!2u! sec",
                   {3600, 4294967},
                   "Elapse 3600 sec / Remain 4294967 sec"},
        // Natural width, the full 32-bit range, and a signed view of the same bits.
        FormatCase{"%1!u!", {0}, "0"}, FormatCase{"%1!u!", {4294967295u}, "4294967295"},
        FormatCase{"%1!d!", {4294967295u}, "-1"}, FormatCase{"%1!i!", {2147483648u}, "-2147483648"},
        FormatCase{"%1!+d!|%2!+d!|%1! d!", {7, 4294967289u}, "+7|-7| 7"},
        // Hexadecimal, octal, zero fill, left alignment, precision.
        FormatCase{"%2!04X!-%1!x!", {0xbeef, 0x2a}, "002A-beef"},
        FormatCase{"%1!#x! %1!#X! %2!#x!", {255, 0}, "0xff 0XFF 0"},
        FormatCase{"%1!o! %1!#o! %2!#o!", {8, 0}, "10 010 0"},
        FormatCase{"[%1!-5u!]", {42}, "[42   ]"}, FormatCase{"[%1!-05u!]", {42}, "[42   ]"},
        FormatCase{"[%1!.4u!] [%1!8.4u!] [%1!08.4u!]", {42}, "[0042] [    0042] [    0042]"},
        FormatCase{"[%1!.0u!] [%1!2.0u!] [%2!.0u!]", {0, 3}, "[] [  ] [3]"},
        FormatCase{"[%1!05d!]", {4294967254u}, "[-0042]"},
        // Plain inserts, "s", order, repetition, and the two-digit argument numbers.
        FormatCase{"%1 and %2", {1, 2}, "1 and 2"}, FormatCase{"%1!s!", {77}, "77"},
        FormatCase{"%2!u!%1!u!%2!u!", {1, 2}, "212"}, FormatCase{"%1%2", {3, 4}, "34"},
        FormatCase{"%10!u!", {1, 2, 3, 4, 5, 6, 7, 8, 9, 10}, "10"},
        FormatCase{"%12", {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11}, "11"},
        // A percent sign.
        FormatCase{"100%% done %%1", {5}, "100% done %1"}, FormatCase{"%", {}, "%"},
        FormatCase{"50%", {1}, "50%"}, FormatCase{"% done", {1}, "% done"},
        // Markers that cannot be honoured are shown as they stand.
        FormatCase{"%3!u! of %2!u!", {1, 2}, "%3!u! of 2"}, FormatCase{"%0!u! %0", {1}, "%0!u! %0"},
        FormatCase{"%1!q! %1!! %1!2u %1!u", {9}, "%1!q! %1!! %1!2u %1!u"},
        FormatCase{"%1!123u! %1!.123u! %100", {9}, "%1!123u! %1!.123u! %100"},
        FormatCase{"%1!uu!", {9}, "%1!uu!"}, FormatCase{"%1!u!", {}, "%1!u!"},
        FormatCase{"no markers at all", {1}, "no markers at all"}, FormatCase{"", {1}, ""}));

// What the C standard prints for one conversion, asked of the C library in a form every library
// prints alike. The space and plus flags mean nothing to unsigned conversions, and '#' makes an
// octal zero print as "0" even at precision 0. The formatter does both as the standard says on
// every system; the C library Windows programs use does not (it prints "% u" with its space and
// "%#.0o" of zero as nothing), so the reference is asked without those flags.
std::string Reference(std::string flags, const std::string& width, std::string precision, char type,
                      uint32_t value) {
    const bool isSigned = type == 'd' || type == 'i';
    auto drop = [&flags](char flag) {
        flags.erase(std::remove(flags.begin(), flags.end(), flag), flags.end());
    };
    if (!isSigned) {
        drop(' ');
        drop('+');
    }
    if (type == 'o' && value == 0 && flags.find('#') != std::string::npos) {
        drop('#');
        if (precision == "." || precision == ".0") precision = ".1";
    }
    const std::string format = "<%" + flags + width + precision + type + ">";
    char text[64];
    if (isSigned) {
        std::snprintf(text, sizeof text, format.c_str(), int32_t(value));
    } else {
        std::snprintf(text, sizeof text, format.c_str(), value);
    }
    return text;
}

// Every supported conversion agrees with the C standard on the same flags, width and precision.
TEST(FormatMessage, ConversionsMatchPrintf) {
    const char* flagSets[] = {"", "-", "0", "+", " ", "#", "-+", "0 ", "#0", "-#"};
    const char* widths[] = {"", "1", "2", "7", "12"};
    const char* precisions[] = {"", ".", ".0", ".3", ".11"};
    const char types[] = {'u', 'd', 'i', 'x', 'X', 'o'};
    const uint32_t values[] = {0, 1, 5, 60, 255, 10240, 2147483647u, 2147483648u, 4294967295u};
    for (const char* flags : flagSets) {
        for (const char* width : widths) {
            for (const char* precision : precisions) {
                for (const char type : types) {
                    const std::string conv = std::string(flags) + width + precision + type;
                    const std::string marker = "<%1!" + conv + "!>";
                    for (const uint32_t value : values) {
                        ASSERT_EQ(Format(marker.c_str(), {value}),
                                  Reference(flags, width, precision, type, value))
                            << marker << " with " << value;
                    }
                }
            }
        }
    }
}

// The output is cut at the buffer's end, mid-marker included, and is always terminated.
TEST(FormatMessage, TruncatesToTheBuffer) {
    const char* row = LoadString(kIdsTransferSize);
    const uint32_t args[] = {262144, 1048576};
    const std::string full = "Transfer Size 262144 / 1048576 Bytes";
    for (size_t size = 1; size <= full.size() + 2; ++size) {
        std::vector<char> out(size + 1, '#');  // one guard byte past the buffer
        const size_t length = FormatMessage(out.data(), size, row, args, 2);
        const size_t fits = std::min(full.size(), size - 1);
        ASSERT_EQ(length, fits) << "size " << size;
        ASSERT_EQ(std::string(out.data()), full.substr(0, fits)) << "size " << size;
        ASSERT_EQ(out[size], '#') << "wrote past a buffer of " << size;
    }
    // Padding and zero fill are cut the same way as digits.
    char small[4];
    const uint32_t one[] = {7};
    EXPECT_EQ(FormatMessage(small, sizeof small, "%1!8u!", one, 1), 3u);
    EXPECT_STREQ(small, "   ");
    EXPECT_EQ(FormatMessage(small, sizeof small, "%1!08u!", one, 1), 3u);
    EXPECT_STREQ(small, "000");
}

TEST(FormatMessage, EmptyBufferAndMissingInputsAreHarmless) {
    char untouched = '#';
    const uint32_t args[] = {1};
    EXPECT_EQ(FormatMessage(&untouched, 0, "%1!u!", args, 1), 0u);
    EXPECT_EQ(untouched, '#');
    EXPECT_EQ(FormatMessage(nullptr, 0, "text", args, 1), 0u);

    char out[16];
    EXPECT_EQ(FormatMessage(out, sizeof out, nullptr, args, 1), 0u);
    EXPECT_STREQ(out, "");
    // No argument array at all: every marker stays as text, nothing is read.
    EXPECT_EQ(FormatMessage(out, sizeof out, "%1!u! %2", nullptr, 0), 8u);
    EXPECT_STREQ(out, "%1!u! %2");
    EXPECT_EQ(FormatMessage(out, sizeof out, "%1!u!", nullptr, 3), 5u);
    EXPECT_STREQ(out, "%1!u!");
}

}  // namespace
