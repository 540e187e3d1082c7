// The transfer callbacks and trimming helpers, called directly the way libcurl calls
// them: header lines into the map, bodies byte for byte, request bodies in chunks,
// and whitespace being exactly the six characters of the C locale.
#include "restclient/helpers.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "named_case.h"
#include "restclient/restclient.h"

namespace {

using namespace std::string_literals;
using RestClient::HeaderFields;
using RestClient::Response;
namespace Helpers = RestClient::Helpers;

struct HeaderCase : rawtest::NamedCase {
    std::vector<std::string> lines;
    HeaderFields expected;
};

class HeaderCallback : public ::testing::TestWithParam<HeaderCase> {};

TEST_P(HeaderCallback, StoresEachLineUnderItsTrimmedName) {
    Response r;
    for (std::string line : GetParam().lines) {
        EXPECT_EQ(Helpers::header_callback(&line[0], 1, line.size(), &r), line.size()) << line;
    }
    EXPECT_EQ(r.headers, GetParam().expected);
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.body, "");
}

INSTANTIATE_TEST_SUITE_P(
    Lines, HeaderCallback,
    ::testing::Values(
        HeaderCase{"StatusLineAndFieldsInByteWiseOrder",
                   {"HTTP/1.1 200 OK\r\n", "Content-Type: application/json\r\n",
                    "Content-Length: 27\r\n", "\r\n"},
                   {{"Content-Length", "27"},
                    {"Content-Type", "application/json"},
                    {"HTTP/1.1 200 OK", "present"}}},
        HeaderCase{"OnlyTheFirstColonSplits", {"X-Time: 10:00:00\r\n"}, {{"X-Time", "10:00:00"}}},
        HeaderCase{"BlankValueIsEmpty", {"  X-Empty :   \r\n"}, {{"X-Empty", ""}}},
        HeaderCase{"LeadingColonGivesEmptyName", {": orphan\r\n"}, {{"", "orphan"}}},
        HeaderCase{"LaterValueWinsAndCaseMatters",
                   {"Content-Type: a\r\n", "content-type: b\r\n", "Content-Type: c\r\n"},
                   {{"Content-Type", "c"}, {"content-type", "b"}}},
        HeaderCase{"SecondResponseAddsItsStatusLine",
                   {"HTTP/1.1 302 Found\r\n", "Location: /next\r\n", "Content-Length: 0\r\n",
                    "\r\n", "HTTP/1.1 200 OK\r\n", "Content-Length: 4\r\n", "\r\n"},
                   {{"Content-Length", "4"},
                    {"HTTP/1.1 200 OK", "present"},
                    {"HTTP/1.1 302 Found", "present"},
                    {"Location", "/next"}}},
        HeaderCase{"LatinOneBytesKept", {"X-Nome: Jo\xE3o\xA0\r\n"}, {{"X-Nome", "Jo\xE3o\xA0"}}},
        HeaderCase{"BlankLinesIgnored", {"\r\n", " \t\r\n"}, {}}),
    rawtest::CaseName());

struct ReserveCase : rawtest::NamedCase {
    std::string before;  // body bytes already received (an earlier response)
    std::string line;
    size_t atLeast;  // capacity the body must have afterwards
    size_t below;    // capacity it must stay under
};

class BodyReservation : public ::testing::TestWithParam<ReserveCase> {};

TEST_P(BodyReservation, AnnouncedSizeIsReservedOnceWithSpareBytes) {
    const ReserveCase& c = GetParam();
    Response r;
    r.body = c.before;
    std::string line = c.line;
    EXPECT_EQ(Helpers::header_callback(&line[0], 1, line.size(), &r), line.size());
    EXPECT_EQ(r.body, c.before);
    EXPECT_GE(r.body.capacity(), c.atLeast);
    EXPECT_LT(r.body.capacity(), c.below);
    EXPECT_EQ(r.headers.size(), 1u);
}

const size_t kSpare = Helpers::kFolgaCorpo;

INSTANTIATE_TEST_SUITE_P(
    Lines, BodyReservation,
    ::testing::Values(
        ReserveCase{"Announced", "", "Content-Length: 100000\r\n", 100000 + kSpare, 101000},
        ReserveCase{"AnyLetterCase", "", "content-LENGTH:100000\r\n", 100000 + kSpare, 101000},
        ReserveCase{"AfterAnEarlierBody", "abc", "Content-Length: 5000\r\n", 5003 + kSpare, 6000},
        ReserveCase{"Zero", "", "Content-Length: 0\r\n", kSpare, 1000},
        ReserveCase{"NotANumber", "", "Content-Length: lots\r\n", 0, 1000},
        ReserveCase{"Signed", "", "Content-Length: -5\r\n", 0, 1000},
        ReserveCase{"TwoNumbers", "", "Content-Length: 10, 10\r\n", 0, 1000},
        ReserveCase{"OverAGibibyte", "", "Content-Length: 1073741825\r\n", 0, 1000},
        ReserveCase{"TwentyDigits", "", "Content-Length: 18446744073709551615\r\n", 0, 1000},
        ReserveCase{"OtherHeader", "", "X-Content-Length: 100000\r\n", 0, 1000}),
    rawtest::CaseName());

TEST(WriteCallback, AppendsEveryPieceWholeZeroBytesIncluded) {
    Response r;
    std::string first = "hello";
    std::string empty;
    std::string last = "\0world!"s;
    EXPECT_EQ(Helpers::write_callback(&first[0], 1, first.size(), &r), 5u);
    EXPECT_EQ(Helpers::write_callback(&empty[0], 1, 0, &r), 0u);
    // libcurl may split the count either way; only the product matters.
    EXPECT_EQ(Helpers::write_callback(&last[0], last.size(), 1, &r), 7u);
    EXPECT_EQ(r.body, "hello\0world!"s);
    EXPECT_EQ(r.body.size(), 12u);
    EXPECT_TRUE(r.headers.empty());
}

TEST(ReadCallback, HandsOutTheBodyInChunksOfAtMostTheRoomOffered) {
    std::string body =
        "0123\0"
        "56789"s;
    Helpers::UploadObject cursor{body.data(), body.size()};
    std::string sent;
    std::vector<size_t> counts;
    for (int call = 0; call < 5; ++call) {
        char room[4] = {'#', '#', '#', '#'};
        size_t n = Helpers::read_callback(room, 2, 2, &cursor);
        counts.push_back(n);
        sent.append(room, n);
    }
    EXPECT_EQ(counts, (std::vector<size_t>{4, 4, 2, 0, 0}));
    EXPECT_EQ(sent, body);
    EXPECT_EQ(cursor.length, 0u);
    EXPECT_EQ(cursor.data, body.data() + body.size());
}

TEST(ReadCallback, EmptyBodyEndsAtOnce) {
    std::string body;
    Helpers::UploadObject cursor{body.data(), 0};
    char room[16];
    EXPECT_EQ(Helpers::read_callback(room, 1, sizeof room, &cursor), 0u);
}

struct TrimCase : rawtest::NamedCase {
    std::string input;
    std::string left;   // after ltrim
    std::string right;  // after rtrim
    std::string both;   // after trim
};

class Trimming : public ::testing::TestWithParam<TrimCase> {};

TEST_P(Trimming, RemovesOnlyTheSixWhitespaceCharactersAtTheChosenEnds) {
    const TrimCase& c = GetParam();
    std::string l = c.input;
    std::string r = c.input;
    std::string b = c.input;
    EXPECT_EQ(&Helpers::ltrim(l), &l);
    EXPECT_EQ(&Helpers::rtrim(r), &r);
    EXPECT_EQ(&Helpers::trim(b), &b);
    EXPECT_EQ(l, c.left);
    EXPECT_EQ(r, c.right);
    EXPECT_EQ(b, c.both);
}

INSTANTIATE_TEST_SUITE_P(
    Strings, Trimming,
    ::testing::Values(TrimCase{"BlanksTabAndLineEnd", "  a b\t\r\n", "a b\t\r\n", "  a b", "a b"},
                      TrimCase{"AllSixCharacters", " \t\n\v\f\rx \t\n\v\f\r", "x \t\n\v\f\r",
                               " \t\n\v\f\rx", "x"},
                      TrimCase{"OnlyBlanks", "    ", "", "", ""}, TrimCase{"Empty", "", "", "", ""},
                      TrimCase{"NoBreakSpaceKept", "\xA0x\xA0", "\xA0x\xA0", "\xA0x\xA0",
                               "\xA0x\xA0"},
                      TrimCase{"NoBreakSpaceInsideBlanks", " \xA0 ", "\xA0 ", " \xA0", "\xA0"},
                      TrimCase{"OtherControlBytesKept", "\x1f\0a\x1c"s, "\x1f\0a\x1c"s,
                               "\x1f\0a\x1c"s, "\x1f\0a\x1c"s}),
    rawtest::CaseName());

TEST(Trimming, NoByteFrom0x80UpIsWhitespace) {
    for (int b = 0x80; b <= 0xFF; ++b) {
        std::string s(1, static_cast<char>(b));
        EXPECT_EQ(Helpers::trim(s), std::string(1, static_cast<char>(b))) << "byte " << b;
    }
}

}  // namespace
