// The smaller parts of lumo-flash: SHA-256, JSON lines, the command line, image files and the
// progress lines.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "cli/console_report.h"
#include "cli/exit_codes.h"
#include "cli/image_file.h"
#include "cli/json_line.h"
#include "cli/options.h"
#include "cli/sha256.h"
#include "firmware/firmware_image.h"
#include "firmware/firmware_provenance.h"

namespace lumo::cli {
namespace {

std::vector<std::uint8_t> Bytes(const std::string& s) { return {s.begin(), s.end()}; }

TEST(Sha256, StandardTestVectors) {
    const struct {
        std::string input;
        const char* digest;
    } cases[] = {
        {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {std::string(1000000, 'a'),
         "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
    };
    for (const auto& c : cases) EXPECT_EQ(Sha256Hex(Bytes(c.input)), c.digest) << c.input.size();
}

TEST(Sha256, BuiltInImagesMatchWhatTheBuildRecorded) {
    EXPECT_EQ(Sha256Hex(g_firmwareVariant.bytes()), g_firmwareProvenance.variant.sha256);
    EXPECT_EQ(Sha256Hex(g_firmwarePrimary.bytes()), g_firmwareProvenance.primary.sha256);
}

TEST(JsonLine, EscapesWhatJsonMust) {
    EXPECT_EQ(JsonLine().Add("path", "a\"b\\c\n\x01").Add("n", std::uint64_t{7}).Add("ok", true).str(),
              R"({"path":"a\"b\\c\n\u0001","n":7,"ok":true})");
    EXPECT_EQ(JsonString("Error\uFF0C"), "\"Error\uFF0C\"");  // UTF-8 unchanged
}

// Every byte outside well-formed UTF-8 becomes U+FFFD; well-formed sequences of every length
// pass whole, also next to a bad byte.
TEST(JsonLine, OutputIsAlwaysUtf8) {
    const std::string r = "\xEF\xBF\xBD";  // U+FFFD
    const std::string good = "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80";  // 2, 3 and 4 bytes
    const struct {
        std::string in, out;
    } cases[] = {
        {"caf\xE9.bin", "caf" + r + ".bin"},           // Latin-1
        {good, good},
        {"\x80", r},                                   // a lone continuation byte
        {"\xFF\xFE", r + r},
        {"\xC0\xAF", r + r},                            // overlong '/'
        {"\xE0\x80\xAF", r + r + r},                     // overlong, 3 bytes
        {"\xED\xA0\x80", r + r + r},                     // a surrogate
        {"\xF4\x90\x80\x80", r + r + r + r},              // past U+10FFFF
        {"a\xE2\x82", "a" + r + r},                     // cut short at the end
        {"\xE2\x82\xC3\xA9", r + r + "\xC3\xA9"},        // cut short by a lead byte
        {"\xF4\x8F\xBF\xBF", "\xF4\x8F\xBF\xBF"},          // U+10FFFF itself
    };
    for (const auto& c : cases)
        EXPECT_EQ(JsonString(c.in), "\"" + c.out + "\"") << ::testing::PrintToString(c.in);
}

struct Parsed {
    std::variant<Options, int> result;
    std::string out, err;
};

Parsed Parse(std::vector<const char*> args) {
    args.insert(args.begin(), "lumo-flash");
    std::ostringstream out, err;
    auto r = ParseOptions(static_cast<int>(args.size()), args.data(), out, err);
    return {r, out.str(), err.str()};
}

TEST(Options, DefaultsAndValues) {
    const Parsed p = Parse({"--wait", "2.5", "--json", "--image", "f.bin", "--product", "7b16",
                            "--device", "1-2.3"});
    const Options& o = std::get<Options>(p.result);
    EXPECT_EQ(o.wait_s, 2.5);
    EXPECT_EQ(o.resume_timeout_s, 60);
    EXPECT_TRUE(o.json);
    EXPECT_EQ(o.image, "f.bin");
    EXPECT_EQ(o.product, kProductVariant);
    EXPECT_EQ(o.device, "1-2.3");
    EXPECT_EQ(std::get<Options>(Parse({}).result).wait_s, 0);
    EXPECT_FALSE(std::get<Options>(Parse({}).result).device);
}

TEST(Options, MistakesEndWithThreeAndSayWhy) {
    const std::vector<std::vector<const char*>> wrong = {
        {"--image", "f.bin"},                        // no --product
        {"--product", "c3d1"},                       // no --image
        {"--image", "f.bin", "--product", "1234"},   // unknown product
        {"--wait", "-1"},                            // negative
        {"--wait", "soon"},                          // not a number
        {"--list", "--version"},                     // one thing at a time
        {"--bogus"},
        {"extra"},
    };
    for (const auto& args : wrong) {
        const Parsed p = Parse(args);
        ASSERT_TRUE(std::holds_alternative<int>(p.result)) << args[0];
        EXPECT_EQ(std::get<int>(p.result), kExitUsage) << args[0];
        EXPECT_FALSE(p.err.empty()) << args[0];
    }
}

// Times in seconds are finite and at most a day; anything else is refused with the limit named,
// never turned into a wait without end or one that ends at once.
TEST(Options, SecondsOutsideZeroToADayAreRefused) {
    for (const char* option : {"--wait", "--resume-timeout"}) {
        for (const char* value : {"nan", "NaN", "inf", "-inf", "1e30", "86400.5", "-0.001"}) {
            const Parsed p = Parse({option, value});
            ASSERT_TRUE(std::holds_alternative<int>(p.result)) << option << " " << value;
            EXPECT_EQ(std::get<int>(p.result), kExitUsage) << option << " " << value;
            EXPECT_NE(p.err.find("from 0 to 86400"), std::string::npos) << p.err;
        }
        for (const char* value : {"0", "0.001", "86400"}) {
            const Parsed p = Parse({option, value});
            ASSERT_TRUE(std::holds_alternative<Options>(p.result)) << option << " " << value;
        }
    }
    EXPECT_EQ(std::get<Options>(Parse({"--resume-timeout", "86400"}).result).resume_timeout_s,
              86400);
}

TEST(Options, HelpShowsEveryOptionAndTheExitCodes) {
    const Parsed p = Parse({"--help"});
    EXPECT_EQ(std::get<int>(p.result), 0);
    for (const char* text : {"--wait", "--resume-timeout", "--json", "--list", "--image",
                             "--product", "--version", "--allow-stand-in", "--device", "130",
                             "permission", "at most 86400", "another program is updating that unit"})
        EXPECT_NE(p.out.find(text), std::string::npos) << text;
}

class ImageFileTest : public ::testing::Test {
  protected:
    std::string Write(std::size_t size) {
        std::ofstream f(path, std::ios::binary);
        f << std::string(size, '\x5a');
        return path.string();
    }
    void TearDown() override { std::filesystem::remove(path); }
    std::filesystem::path path = std::filesystem::temp_directory_path() /
                                 ("lumo_cli_image_" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + ".bin");
};

TEST_F(ImageFileTest, SizesAtTheEdges) {
    EXPECT_NE(ReadImageFile(Write(0)).error.find("is empty"), std::string::npos);
    const ImageFile one = ReadImageFile(Write(1));
    EXPECT_EQ(one.error, "");
    EXPECT_EQ(one.sha256, Sha256Hex(Bytes("Z")));
    EXPECT_FALSE(one.stand_in);
    EXPECT_EQ(ReadImageFile(Write(kMaxImageLength)).error, "");
    EXPECT_EQ(ReadImageFile(Write(kMaxImageLength)).bytes.size(), kMaxImageLength);
    EXPECT_NE(ReadImageFile(Write(kMaxImageLength + 1)).error.find("longer than"),
              std::string::npos);
}

TEST_F(ImageFileTest, MissingFileAndFolderAreRefused) {
    EXPECT_NE(ReadImageFile(path.string()).error.find("cannot read"), std::string::npos);
    EXPECT_NE(ReadImageFile(path.parent_path().string()).error.find("folder"), std::string::npos);
}

TEST_F(ImageFileTest, StandInIsRecognisedByContent) {
    {
        std::ofstream f(path, std::ios::binary);
        f.write(reinterpret_cast<const char*>(g_firmwareVariant.data), g_firmwareVariant.length);
    }
    const ImageFile image = ReadImageFile(path.string());
    EXPECT_EQ(image.stand_in, g_firmwareProvenance.variant.stand_in);
    EXPECT_EQ(image.sha256, g_firmwareProvenance.variant.sha256);
}

TEST(ConsoleReport, LinesModePrintsEveryTenPercentOnce) {
    std::ostringstream out, err;
    ConsoleReport report(out, err, OutputMode::kLines);
    for (unsigned block = 1; block <= 100; ++block)
        report.Progress({block, 100, block - 1, block * 10ull});
    std::istringstream lines(out.str());
    std::vector<std::string> got;
    for (std::string l; std::getline(lines, l);) got.push_back(l.substr(0, 4));
    EXPECT_EQ(got, (std::vector<std::string>{"  0%", " 10%", " 20%", " 30%", " 40%", " 50%",
                                             " 60%", " 70%", " 80%", " 90%"}));
}

TEST(ConsoleReport, TerminalRedrawsOneLineAndEndsItBeforeAnEvent) {
    std::ostringstream out, err;
    ConsoleReport report(out, err, OutputMode::kTerminal);
    report.Progress({1, 10, 0, 0});
    report.Progress({2, 10, 10, 10});
    report.Suspended({2, 10, 10, 20}, 60);
    const std::string s = out.str();
    EXPECT_EQ(s.find('\n'), s.rfind('\n', s.find("unplugged")));  // one break, before the event
    EXPECT_NE(s.find("\r 10% [##"), std::string::npos);
    EXPECT_NE(s.find("2/10 blocks"), std::string::npos);
}

}  // namespace
}  // namespace lumo::cli
