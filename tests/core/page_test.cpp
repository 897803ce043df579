// The generated page (template filling, its file) and the unpublish on the way
// out against a real vsftpd.
#include "publish/ImmediateUnpublish.h"
#include "publish/PageGenerator.h"

#include "servers/VsftpdServer.h"
#include "support/TempDir.h"
#include "support/TextFiles.h"

#include <Poco/Net/ServerSocket.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <future>
#include <iterator>

using namespace std::chrono_literals;
using namespace std::string_literals;
using namespace tavro;
using namespace tavro::test;
namespace fs = std::filesystem;

namespace {

constexpr const char* Ip = "192.0.2.17";

constexpr const char* Ip6 = "2400:1::10";

struct FillCase {
  const char* Name;
  std::string Template;
  std::string Page;
  std::string Address = Ip;
  std::optional<std::string> Ipv6 = std::nullopt;  // none: the IPv6 token is text
};
void PrintTo(const FillCase& c, std::ostream* out) {
  *out << c.Name;
}

const FillCase FillCases[] = {
    {"LineWithPlaceholder", "IP: #####", "IP: 192.0.2.17\r\n"},
    {"TwiceInALine", "#####-#####\n", "192.0.2.17-192.0.2.17\r\n"},
    {"ThreeLinesNoFinalLineEnd", "a\nb\nc", "a\r\nb\r\nc\r\n"},
    {"TenAndSixAndFour", "##########\n######\n####",
     "192.0.2.17192.0.2.17\r\n192.0.2.17#\r\n####\r\n"},
    {"LineEndEndsARunEmptyLinesKept", "###\n##\r\n\n##", "###\r\n##\r\n\r\n##\r\n"},
    {"Empty", "", ""},
    {"CrLfTemplateUnchanged", "<p>\r\n#####\r\n", "<p>\r\n192.0.2.17\r\n"},
    {"LoneCrIsText", "a\rb\r\r\nc\r", "a\rb\r\r\nc\r\r\n"},
    {"BinaryBytesKept", "\0\x1a\xff#####\0"s,
     "\0\x1a\xff"
     "192.0.2.17\0\r\n"s},
    {"JapaneseTemplate", "\x8c\xbb\x8d\xdd: #####\n", "\x8c\xbb\x8d\xdd: 192.0.2.17\r\n"},
    {"EmptyAddress", "IP: #####.", "IP: .\r\n", ""},
    {"AddressInCodePage932", "#####", "\x83\x65\x83\x58\x83\x67\r\n", "テスト"},
    {"AddressOutsideCodePage932", "#####", "\xf0\x9f\x98\x80\r\n", "😀"},
    {"Ipv6TokenIsTextWithoutAnIpv6Address", "%%IPV6%% #####", "%%IPV6%% 192.0.2.17\r\n"},
    {"Ipv6InAUrl", "<a href=\"http://[%%IPV6%%]:8080/\">#####</a>\n",
     "<a href=\"http://[2400:1::10]:8080/\">192.0.2.17</a>\r\n", Ip, Ip6},
    {"Ipv6EmptiedWhenThereIsNone", "v6: %%IPV6%%.\n%%IPV6%%%%IPV6%%", "v6: .\r\n\r\n", Ip, ""},
    // The token ends a "#" run, as every other text did; runs around it are
    // cut into fives as before.
    {"Ipv6TokenBetweenHashRuns", "######%%IPV6%%##########\n#%%IPV6%%####",
     "192.0.2.17#2400:1::10192.0.2.17192.0.2.17\r\n#2400:1::10####\r\n", Ip, Ip6},
    // Left to right, not overlapping; a broken-off start is text, also where a
    // "#", a line end or the template's end breaks it; the case counts.
    {"Ipv6TokenOverlapsAndBrokenStarts",
     "%%%IPV6%%|%%IPV6%%IPV6%%|%%IPV6%#####|%%ipv6%%|%%IPV6%\r\n%%IPV6%\n%%IP",
     "%2400:1::10|2400:1::10IPV6%%|%%IPV6%192.0.2.17|%%ipv6%%|%%IPV6%\r\n%%IPV6%\r\n%%IP\r\n", Ip,
     Ip6},
    {"Ipv6InAJapaneseTemplate", "\x83\x41\x83\x68\x83\x8c\x83\x58: %%IPV6%%\r\n",
     "\x83\x41\x83\x68\x83\x8c\x83\x58: 2400:1::10\r\n", Ip, Ip6},
};

std::string Fill(const FillCase& c) {
  return c.Ipv6 ? FillTemplate(c.Template, c.Address, *c.Ipv6)
                : FillTemplate(c.Template, c.Address);
}

class FillTemplateTest : public ::testing::TestWithParam<FillCase> {};

TEST_P(FillTemplateTest, WholeAndInEverySplit) {
  const FillCase& c = GetParam();
  EXPECT_EQ(Fill(c), c.Page);
  // The same page wherever the template is cut: fed byte by byte up to the
  // cut, then the rest in one piece.
  for (std::size_t cut = 0; cut <= c.Template.size(); ++cut) {
    PageFiller filler(c.Address, c.Ipv6);
    std::string page;
    for (char byte : c.Template.substr(0, cut)) {
      filler.Feed(std::string_view(&byte, 1), page);
    }
    filler.Feed(std::string_view(c.Template).substr(cut), page);
    filler.Finish(page);
    EXPECT_EQ(page, c.Page) << "cut at " << cut;
  }
}

INSTANTIATE_TEST_SUITE_P(Page, FillTemplateTest, ::testing::ValuesIn(FillCases),
                         [](const auto& info) { return std::string(info.param.Name); });

TEST(FillTemplateIpv6Test, TemplatesWithoutTheTokenAreFilledAsBefore) {
  // Runs of one to twelve "#", "%" and near-misses of the token, code page
  // 932 text and line ends: with an IPv6 address given or not, the same page.
  std::string runs;
  for (std::size_t n = 1; n <= 12; ++n) {
    runs += "a" + std::string(n, '#') + "%" + std::string(n, '#') + "\n";
  }
  runs += "%%IPV5%% %IPV6%% %%IPV6% %%IPV6 #%%#IPV6%%# 100%\r\n\x82\xa0#####\r";
  for (const FillCase& c : FillCases) {
    if (c.Template.find(kIpv6Placeholder) != std::string::npos) {
      continue;
    }
    for (const std::string& ipv6 : {std::string(Ip6), std::string()}) {
      EXPECT_EQ(FillTemplate(c.Template, c.Address, ipv6), FillTemplate(c.Template, c.Address))
          << c.Name;
    }
  }
  const std::string before = FillTemplate(runs, Ip);
  EXPECT_EQ(FillTemplate(runs, Ip, Ip6), before);
  EXPECT_EQ(before.substr(0, 48), "a#%#\r\na##%##\r\na###%###\r\na####%####\r\na192.0.2.17%");
}

class PageFileTest : public ::testing::Test {
protected:
  fs::path Write(const std::string& name, const std::string& bytes) {
    std::ofstream(Dir / name, std::ios::binary) << bytes;
    return Dir / name;
  }
  // What the folder holds besides the given names: no partial pages left.
  std::size_t Others(std::initializer_list<std::string> names) {
    std::size_t count = 0;
    for (const auto& entry : fs::directory_iterator(Dir.Path())) {
      count += std::find(names.begin(), names.end(), entry.path().filename()) == names.end();
    }
    return count;
  }

  TempDir Dir{"tavro-page"};
};

TEST_F(PageFileTest, WritesBesideTheTemplateReplacingAnEarlierPage) {
  const auto source = Write("index.html", "a #####\nb");
  Write("index.html.tmp", std::string(5000, 'x'));
  const auto page = GeneratePage(source.string(), Ip);
  ASSERT_TRUE(page);
  EXPECT_EQ(*page, source.string() + ".tmp");
  EXPECT_EQ(ReadFileBytes(*page), "a 192.0.2.17\r\nb\r\n");

  const auto empty = Write("empty.html", "");
  ASSERT_TRUE(GeneratePage(empty.string(), Ip));
  EXPECT_EQ(ReadFileBytes(empty.string() + ".tmp"), "");
  EXPECT_EQ(Others({"index.html", "index.html.tmp", "empty.html", "empty.html.tmp"}), 0u);
}

TEST_F(PageFileTest, TemplatesThatCannotBeReadOrPagesThatCannotBeWritten) {
  fs::create_directories(Dir / "folder");
  ASSERT_EQ(::mkfifo((Dir / "fifo").c_str(), 0600), 0);  // must not hang
  const auto blocked = Write("blocked.html", "#####");
  fs::create_directories(Dir / "blocked.html.tmp" / "inside");
  for (const char* name : {"missing.html", "folder", "fifo", "blocked.html"}) {
    EXPECT_FALSE(GeneratePage((Dir / name).string(), Ip)) << name;
  }
  EXPECT_FALSE(GeneratePage("", Ip));
  EXPECT_TRUE(fs::is_directory(Dir / "blocked.html.tmp" / "inside"));
  EXPECT_EQ(Others({"folder", "fifo", "blocked.html", "blocked.html.tmp"}), 0u);
}

TEST_F(PageFileTest, OnlyAnAddressOrNothingIsFilledIn) {
  const auto source = Write("index.html", "IP: #####\n");
  Write("index.html.tmp", "earlier page");
  for (const std::string& text : {"<script>alert(1)</script>"s, "IPv6:2001:db8::1"s, "999.1.1.1"s,
                                  " 1.2.3.4"s, "1.2.3.4\0<b>"s}) {
    EXPECT_FALSE(GeneratePage(source.string(), text)) << text;
    EXPECT_EQ(ReadFileBytes(source.string() + ".tmp"), "earlier page") << text;
  }
  for (const std::string& text : {"2001:db8::1"s, ""s}) {
    ASSERT_TRUE(GeneratePage(source.string(), text)) << text;
    EXPECT_EQ(ReadFileBytes(source.string() + ".tmp"), "IP: " + text + "\r\n");
  }
  EXPECT_EQ(Others({"index.html", "index.html.tmp"}), 0u);
}

TEST_F(PageFileTest, OnlyAnIpv6AddressOrNothingFillsItsPlaceholder) {
  const auto source = Write("index.html", "http://[%%IPV6%%]:8080/ #####\n");
  Write("index.html.tmp", "earlier page");
  for (const std::string& text : {"192.0.2.17"s, "IPv6:2400:1::10"s, "2400:1::10 "s,
                                  "fe80::1%eth0"s, "2400:1::10\0<b>"s, "<script>"s, "2400:1::g"s}) {
    EXPECT_FALSE(GeneratePage(source.string(), Ip, text)) << text;
    EXPECT_EQ(ReadFileBytes(source.string() + ".tmp"), "earlier page") << text;
  }
  // The WAN address is checked as before.
  EXPECT_FALSE(GeneratePage(source.string(), "<b>", Ip6));
  for (const std::string& text : {"2400:1::10"s, "::ffff:192.0.2.1"s, ""s}) {
    const auto page = GeneratePage(source.string(), Ip, text);
    ASSERT_TRUE(page) << text;
    // The count tells the window whether the page depends on the address.
    EXPECT_EQ(page->Ipv6Placeholders, 1u);
    EXPECT_EQ(ReadFileBytes(page->Path), "http://[" + text + "]:8080/ 192.0.2.17\r\n");
  }
  Write("index.html", "%%IPV6%%%%IPV6%%\n%%IPV6% #####\n");
  EXPECT_EQ(GeneratePage(source.string(), Ip, Ip6)->Ipv6Placeholders, 2u);
  Write("index.html", "%%IPV6% #####\n");
  EXPECT_EQ(GeneratePage(source.string(), Ip, Ip6)->Ipv6Placeholders, 0u);
  EXPECT_EQ(Others({"index.html", "index.html.tmp"}), 0u);
}

TEST_F(PageFileTest, StreamsAcrossBlocksLikeTheWholeTemplate) {
  // Placeholders, CR LF pairs and "#" runs straddling the 1 MiB read blocks;
  // the longest address text also cuts each block into many pieces.
  std::string bytes;
  for (int i = 0; bytes.size() < (5u << 20); ++i) {
    bytes += "line " + std::to_string(i) + " ####### %%IPV6%% \r\n\x82\xa0##\r" +
             std::string(i % 7, '#') + std::string(i % 3, '%');
  }
  for (std::size_t block = 1; block <= 4; ++block) {
    // "##|###" and "\r|\n" with the block boundary at "|".
    const std::string straddle = block % 2 ? "x##"
                                             "###x"
                                           : "xx\r"
                                             "\nxx";
    bytes.replace((block << 20) - 3, straddle.size(), straddle);
  }
  // "%%IP|V6%%" across the fifth block boundary.
  bytes.replace((std::size_t{5} << 20) - 4, 8, "%%IPV6%%");
  const auto source = Write("big.html", bytes);
  const std::string longest = "ffff:ffff:ffff:ffff:ffff:ffff:255.255.255.255";
  for (const std::string& address : {std::string(Ip), longest}) {
    ASSERT_TRUE(GeneratePage(source.string(), address));
    EXPECT_TRUE(ReadFileBytes(source.string() + ".tmp") == FillTemplate(bytes, address));
    ASSERT_TRUE(GeneratePage(source.string(), address, longest));
    EXPECT_TRUE(ReadFileBytes(source.string() + ".tmp") == FillTemplate(bytes, address, longest));
  }
}

// ---- The unpublish on the way out --------------------------------------

class UnpublishNowTest : public PageFileTest {
protected:
  void SetUp() override {
    for (int i = 0; i < 70000; ++i) {
      Offline += static_cast<char>(i * 7) + (i % 997 == 0 ? "\r\n\n"s : ""s);
    }
    OfflinePath = Write("offline.html", Offline).string();
  }
  bool Unpublish(const std::string& server, const std::string& password) {
    Cause.clear();
    return UnpublishNow(server, VsftpdServer::User, password, OfflinePath, "/pub/index.html",
                        FtpTimeouts{1s}, &Cause);
  }

  std::string Offline;
  std::string OfflinePath;
  std::string Cause;  // of the last failed attempt
};

TEST_F(UnpublishNowTest, AgainstARealServer) {
  VsftpdServer server;
  ASSERT_TRUE(server.Started()) << server.Error();
  const fs::path remote = server.Pub() / "index.html";
  std::ofstream(remote, std::ios::binary) << "online 192.0.2.17";
  server.Share(remote);

  EXPECT_FALSE(Unpublish(server.Address(), "wrong"));
  EXPECT_EQ(Cause, "530 Login incorrect.");
  EXPECT_EQ(ReadFileBytes(remote), "online 192.0.2.17");

  ASSERT_TRUE(Unpublish(server.Address(), VsftpdServer::Password));
  EXPECT_TRUE(ReadFileBytes(remote) == Offline);
  // Renamed into place: no temporary file beside it.
  EXPECT_EQ(std::distance(fs::directory_iterator(server.Pub()), fs::directory_iterator()), 1);

  // A remote file that is not there ends the attempt: nothing new is planted
  // on the server.
  fs::remove(remote);
  EXPECT_FALSE(Unpublish(server.Address(), VsftpdServer::Password));
  EXPECT_EQ(Cause, "550 Could not get file size.");
  EXPECT_TRUE(fs::is_empty(server.Pub()));
}

TEST_F(UnpublishNowTest, APageWithTheIpv6AddressArrivesByteForByte) {
  VsftpdServer server;
  ASSERT_TRUE(server.Started()) << server.Error();
  const fs::path remote = server.Pub() / "index.html";
  std::ofstream(remote, std::ios::binary) << "earlier";
  server.Share(remote);
  const auto source = Write("online.html", "<a href=\"http://[%%IPV6%%]:8080/\">#####</a>\n");
  const auto page = GeneratePage(source.string(), Ip, Ip6);
  ASSERT_TRUE(page);
  // The same replacing upload as a publish's, by a temporary name and a rename.
  ASSERT_TRUE(UnpublishNow(server.Address(), VsftpdServer::User, VsftpdServer::Password, page->Path,
                           "/pub/index.html", FtpTimeouts{1s}, &Cause))
      << Cause;
  EXPECT_EQ(ReadFileBytes(remote), "<a href=\"http://[2400:1::10]:8080/\">192.0.2.17</a>\r\n");
}

TEST_F(UnpublishNowTest, UnreachableServersFailWithinTheTimeOut) {
  // Listening, it accepts and never greets; bound but not listening, it
  // refuses.
  Poco::Net::ServerSocket silent(Poco::Net::SocketAddress("127.0.0.1", 0));
  Poco::Net::ServerSocket refusing;
  refusing.bind(Poco::Net::SocketAddress("127.0.0.1", 0));
  const std::pair<const Poco::Net::ServerSocket*, std::string> cases[] = {
      {&silent, "timed out after 1 s"}, {&refusing, "Connection refused"}};
  for (const auto& [socket, cause] : cases) {
    const std::string server = "127.0.0.1:" + std::to_string(socket->address().port());
    auto attempt =
        std::async(std::launch::async, [&] { return Unpublish(server, VsftpdServer::Password); });
    // The bound is far above the 1 s time-out, far below the default 30 s.
    ASSERT_EQ(attempt.wait_for(15s), std::future_status::ready) << server;
    EXPECT_FALSE(attempt.get()) << server;
    EXPECT_EQ(Cause, cause);
  }
}

}  // namespace
