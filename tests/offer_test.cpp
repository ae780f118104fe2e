// offer_test.cpp - the client's pieces for files shared, on their own: the hash against the standard
// vectors, the offer line and the HTTP heads as a peer may send them, the names saved and the
// addresses fetched from.
#include "client/core/offer.h"
#include "client/core/sharing.h"
#include "platform/networks.h"
#include "platform/sha256.h"
#include "platform/shared_files.h"
#include "platform/terminal.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <set>
#include <string>
#include <sys/stat.h>
#include <vector>

namespace {

std::string hash_of(const std::string &text, std::size_t piece)
{
    sha256 h;
    for (std::size_t at = 0; at < text.size(); at += piece)
        h.add(text.data() + at, std::min(piece, text.size() - at));
    return h.hex();
}

std::uint32_t ip(const char *text)
{
    return inet_addr(text);
}

}  // namespace

TEST(Sha256, MatchesTheStandardVectorsFedInAnyPieces)
{
    EXPECT_EQ(hash_of("", 1), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(hash_of("abc", 1), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    const std::string two_blocks = "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq";
    for (std::size_t piece : {1, 7, 64, 1000})
        EXPECT_EQ(hash_of(two_blocks, piece), "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
    EXPECT_EQ(hash_of(std::string(1000000, 'a'), 4099), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}

TEST(Sha256, TokensAreRandomUrlSafeAndLongEnough)
{
    std::set<std::string> seen;
    for (int i = 0; i < 1000; ++i) {
        std::string t = new_token();
        ASSERT_EQ(t.size(), 24u);  // 144 bits
        EXPECT_EQ(t.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_"), std::string::npos);
        seen.insert(t);
    }
    EXPECT_EQ(seen.size(), 1000u);
}

TEST(OfferLine, IsWrittenAndReadBackWhateverTheNameHolds)
{
    const std::string hash(64, 'a');
    // UTF-8 for the line's text; in GB18030, the last name's trail bytes spell "[", "]" and digits
    // (U+4E55, U+4E5A, U+1F600).
    for (const std::string &name : std::vector<std::string>{"\xE7\xAC\xAC\xE4\xB8\x89\xE7\xAB\xA0\xE8\xAE\xB2\xE4\xB9\x89.pdf",  // 第三章讲义
                                   "\xE6\x98\xAF size=1 sha256=x [FILE] http://8.8.8.8/f/x/y.txt",
                                   std::string("\xE4\xB9\x95\xE4\xB9\x9A\xF0\x9F\x98\x80 (5 GB) ]0.pdf")}) {
        std::string line = gb18030_from_utf8("alice: " + offer_text(name, "192.168.1.23", 8890, "TOKENTOKENTOKENTOKEN1234",
                                                                    5368709120ULL, hash));
        file_offer o;
        ASSERT_TRUE(parse_offer(line, &o)) << line;
        EXPECT_EQ(o.sender, "alice");
        EXPECT_EQ(o.name, name);
        EXPECT_EQ(o.host, "192.168.1.23");
        EXPECT_EQ(o.port, 8890);
        EXPECT_EQ(o.size, 5368709120ULL);
        EXPECT_EQ(o.sha256, hash);
        EXPECT_EQ(o.path.compare(0, 28, "/f/TOKENTOKENTOKENTOKEN1234/"), 0);
    }
    // The issue's own example, with fields unknown to this client after the address and upper-case hex.
    const std::string upper(64, 'C');
    file_offer o;
    ASSERT_TRUE(parse_offer(gb18030_from_utf8("\xE5\xB0\x8F\xE6\x98\x8E: [FILE] x (2.4 MB) http://10.0.0.5:8891/f/"
                                              "abcdefghijklmnop_-12/x size=18446744073709551615 mime=a/b sha256=" +
                                              upper + " later=1"),
                            &o));
    EXPECT_EQ(o.sender, gb18030_from_utf8("\xE5\xB0\x8F\xE6\x98\x8E"));
    EXPECT_EQ(o.size, 18446744073709551615ULL);
    EXPECT_EQ(o.sha256, std::string(64, 'c'));
    EXPECT_EQ(o.port, 8891);
    // What is no offer, or one that could smuggle something into a request.
    const std::string tail = " size=10 sha256=" + hash;
    for (const std::string &bad : std::vector<std::string>{"alice: hello", "alice: [FILE] x (1 KB) http://1.2.3.4/f/abcdefghijklmnop/x size=10",
                                  "alice: [FILE] x http://1.2.3.4/f/abcdefghijklmnop/x size=18446744073709551616 sha256=" + hash,
                                  "alice: [FILE] x http://1.2.3.4/f/abcdefghijklmnop/x size=10 sha256=" + hash.substr(1),
                                  "alice: [FILE] x http://1.2.3.4/f/short/x" + tail,
                                  "alice: [FILE] x http://1.2.3.4/g/abcdefghijklmnop/x" + tail,
                                  "alice: [FILE] x http://1.2.3.4:99999/f/abcdefghijklmnop/x" + tail,
                                  "alice: [FILE] x http://1.2.3.4/f/abcdefghijklmnop/x%0" + tail,
                                  "alice: [FILE] x http://1.2.3.4/f/abcdefghijklmnop/x\r\nHost:" + tail,
                                  "alice: [FILE] x http://us%40er@1.2.3.4/f/abcdefghijklmnop/x" + tail,
                                  "alice says [FILE] x http://1.2.3.4/f/abcdefghijklmnop/x" + tail,
                                  "alice: x http://1.2.3.4/f/abcdefghijklmnop/x" + tail})
        EXPECT_FALSE(parse_offer(bad, &o)) << bad;
}

TEST(FileNames, AreMadeSafeForBothSystems)
{
    EXPECT_EQ(safe_file_name("../../etc/passwd"), "_.._etc_passwd");
    EXPECT_EQ(safe_file_name("..\\..\\Windows\\win.ini"), "_.._Windows_win.ini");
    EXPECT_EQ(safe_file_name(".."), "file");
    EXPECT_EQ(safe_file_name(".bashrc"), "bashrc");
    EXPECT_EQ(safe_file_name("a\x1b[31mred\x07.txt"), "a_[31mred_.txt");
    EXPECT_EQ(safe_file_name("evil\xE2\x80\xAEtxt.exe"), "evil_txt.exe");  // a right-to-left override
    EXPECT_EQ(safe_file_name("zero\xE2\x80\x8Bwidth"), "zero_width");
    EXPECT_EQ(safe_file_name("bad\xFF\xC0utf8"), "bad__utf8");
    EXPECT_EQ(safe_file_name("a:b*c?d\"e<f>g|h"), "a_b_c_d_e_f_g_h");
    EXPECT_EQ(safe_file_name("CON"), "_CON");
    EXPECT_EQ(safe_file_name("nul.txt"), "_nul.txt");
    EXPECT_EQ(safe_file_name("com1.tar.gz"), "_com1.tar.gz");
    EXPECT_EQ(safe_file_name("LPT\xC2\xB9"), "_LPT\xC2\xB9");
    EXPECT_EQ(safe_file_name("CONSOLE.txt"), "CONSOLE.txt");
    EXPECT_EQ(safe_file_name("report. . ."), "report");
    EXPECT_EQ(safe_file_name("\xE7\xAC\xAC\xE4\xB8\x89\xE7\xAB\xA0.pdf"), "\xE7\xAC\xAC\xE4\xB8\x89\xE7\xAB\xA0.pdf");
    // Long names are cut at a character's start and keep their extension.
    std::string longest;
    for (int i = 0; i < 200; ++i)
        longest += "\xE7\xAC\xAC";
    std::string cut = safe_file_name(longest + ".pdf");
    EXPECT_LE(cut.size(), FILE_NAME_BYTES);
    EXPECT_EQ(cut.substr(cut.size() - 4), ".pdf");
    EXPECT_EQ((cut.size() - 4) % 3, 0u);
    EXPECT_TRUE(runs_when_opened("setup.EXE"));
    EXPECT_TRUE(runs_when_opened("run.sh"));
    EXPECT_FALSE(runs_when_opened("notes.pdf"));
}

TEST(FetchAddress, OnlyPrivateOrOwnNetworksAndLoopbackWithALoopbackRelay)
{
    for (const char *allowed : {"10.1.2.3", "172.16.0.1", "172.31.255.254", "192.168.1.23", "169.254.9.9"})
        EXPECT_EQ(fetch_refusal(ip(allowed), false, nullptr, 0), nullptr) << allowed;
    for (const char *refused : {"8.8.8.8", "172.32.0.1", "198.18.0.2", "0.0.0.0", "255.255.255.255", "127.0.0.1"})
        EXPECT_NE(fetch_refusal(ip(refused), false, nullptr, 0), nullptr) << refused;
    EXPECT_EQ(fetch_refusal(ip("127.0.0.1"), true, nullptr, 0), nullptr);
    ipv4_network own{ip("198.18.0.1"), ip("198.18.0.255"), ip("255.255.255.0")};
    EXPECT_EQ(fetch_refusal(ip("198.18.0.2"), false, &own, 1), nullptr);
    EXPECT_NE(fetch_refusal(ip("198.18.1.2"), false, &own, 1), nullptr);
    std::uint32_t a = 0;
    EXPECT_TRUE(parse_ipv4("192.168.1.23", &a));
    EXPECT_EQ(a, ip("192.168.1.23"));
    for (const char *bad : {"192.168.1", "192.168.1.256", "1.2.3.4.5", "a.b.c.d", "01234.1.1.1", "1.2.3.4 "})
        EXPECT_FALSE(parse_ipv4(bad, &a)) << bad;
}

TEST(HttpHeads, RequestsAndAnswersAreReadStrictly)
{
    http_request r;
    std::string head = "GET /f/t/x HTTP/1.1\r\nHost: a\r\nrange: bytes=5-\r\nIf-Range: \"h\"\r\n\r\nrest";
    EXPECT_EQ(parse_request_head(head.data(), head.size(), &r), static_cast<long>(head.size() - 4));
    EXPECT_EQ(r.method, "GET");
    EXPECT_EQ(r.target, "/f/t/x");
    EXPECT_TRUE(r.range && !r.range_bad && !r.last_given);
    EXPECT_EQ(r.first, 5u);
    EXPECT_EQ(r.if_range_value, "\"h\"");
    head = "HEAD / HTTP/1.0\nRange: bytes=5368709120-5368709129\n\n";
    ASSERT_GT(parse_request_head(head.data(), head.size(), &r), 0);
    EXPECT_TRUE(r.range && r.last_given);
    EXPECT_EQ(r.last, 5368709129ULL);
    for (const char *bad_range : {"bytes=9-5", "bytes=1-2,4-5", "bytes=-5", "items=1-", "bytes=x-"}) {
        head = std::string("GET / HTTP/1.1\r\nRange: ") + bad_range + "\r\n\r\n";
        ASSERT_GT(parse_request_head(head.data(), head.size(), &r), 0);
        EXPECT_TRUE(r.range_bad) << bad_range;
    }
    head = "GET / HTTP/1.1\r\nHost: a\r\n";
    EXPECT_EQ(parse_request_head(head.data(), head.size(), &r), 0);  // not ended yet
    std::string too_long = "GET / HTTP/1.1\r\nX: " + std::string(REQUEST_HEAD_MAX, 'a');
    EXPECT_EQ(parse_request_head(too_long.data(), too_long.size(), &r), -1);
    for (const char *bad : {"\r\n\r\n", "GET /\r\n\r\n", "get / HTTP/1.1\r\n\r\n", "GET x HTTP/1.1\r\n\r\n",
                            "GET / HTTP/2\r\n\r\n", "GET / HTTP/1.1\r\nno colon\r\n\r\n", "GET / HTTP/1.1\r\nA: \x01\r\n\r\n"})
        EXPECT_EQ(parse_request_head(bad, std::strlen(bad), &r), -1) << bad;

    http_response a;
    head = "HTTP/1.1 206 Partial Content\r\nContent-Length: 10\r\nContent-Range: bytes 5-14/5368709120\r\nETag: \"h\"\r\n\r\n";
    ASSERT_EQ(parse_response_head(head.data(), head.size(), &a), static_cast<long>(head.size()));
    EXPECT_EQ(a.status, 206);
    EXPECT_EQ(a.length, 10u);
    EXPECT_TRUE(a.range_given);
    EXPECT_EQ(a.first, 5u);
    EXPECT_EQ(a.total, 5368709120ULL);
    head = "HTTP/1.0 302 Found\r\nLocation: http://8.8.8.8/\r\nTransfer-Encoding: chunked\r\n\r\n";
    ASSERT_GT(parse_response_head(head.data(), head.size(), &a), 0);
    EXPECT_EQ(a.status, 302);
    EXPECT_TRUE(a.chunked);
    for (const char *bad : {"HTTP/1.1 20 OK\r\n\r\n", "ICY 200 OK\r\n\r\n", "HTTP/1.1 200 OK\r\nContent-Length: -1\r\n\r\n",
                            "HTTP/1.1 200 OK\r\nContent-Length: 1\r\nContent-Length: 2\r\n\r\n",
                            "HTTP/1.1 206 x\r\nContent-Range: bytes 5-4/10\r\n\r\n",
                            "HTTP/1.1 206 x\r\nContent-Range: bytes 5-10/10\r\n\r\n"})
        EXPECT_EQ(parse_response_head(bad, std::strlen(bad), &a), -1) << bad;
    EXPECT_EQ(percent_encode("a b/\xE7\xAC\xAC~"), "a%20b%2F%E7%AC%AC~");
    std::string decoded;
    EXPECT_TRUE(percent_decode("a%20b%2f", &decoded));
    EXPECT_EQ(decoded, "a b/");
    EXPECT_FALSE(percent_decode("a%2", &decoded));
    EXPECT_FALSE(percent_decode("a%zz", &decoded));
    EXPECT_EQ(size_text(2501234), "2.4 MB");
    EXPECT_EQ(size_text(5368709120ULL), "5.0 GB");
    EXPECT_EQ(size_text(1023), "1023 bytes");
}

TEST(DownloadsFolder, ComesFromTheEnvironmentThenUserDirsThenHome)
{
    char dir[] = "/tmp/downloads-test-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    std::string base = dir;
    setenv("HOME", base.c_str(), 1);
    setenv("XDG_CONFIG_HOME", (base + "/config").c_str(), 1);
    setenv("XDG_DOWNLOAD_DIR", (base + "/from-env").c_str(), 1);
    EXPECT_EQ(downloads_folder(), base + "/from-env");
    unsetenv("XDG_DOWNLOAD_DIR");
    EXPECT_EQ(downloads_folder(), base + "/Downloads");
    mkdir((base + "/config").c_str(), 0700);
    std::ofstream(base + "/config/user-dirs.dirs") << "# written by xdg-user-dirs-update\n"
                                                      "XDG_DESKTOP_DIR=\"$HOME/Desktop\"\n"
                                                      "XDG_DOWNLOAD_DIR=\"$HOME/Descargas\"\n";
    EXPECT_EQ(downloads_folder(), base + "/Descargas");
    struct stat st;
    EXPECT_EQ(stat((base + "/Descargas").c_str(), &st), 0);  // made, as it was not there
    std::system(("rm -rf " + base).c_str());
}
