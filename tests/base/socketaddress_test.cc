#include "base/socketaddress.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <string.h>

#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "base/logging.h"
#include "base/stream.h"

namespace lumen_base {
namespace {

class SocketAddressTest : public testing::Test {
 protected:
  void TearDown() override {
    LogMessage::LogToDebug(LS_NONE);
    LogMessage::LogToStream(nullptr, LS_NONE);
  }
  void CaptureLog(LoggingSeverity min_sev) {
    LogMessage::LogToStream(new StringStream(log_), min_sev);
  }
  std::string log_;
};

// --- States and construction ----------------------------------------------

TEST_F(SocketAddressTest, DefaultIsNil) {
  SocketAddress addr;
  EXPECT_TRUE(addr.IsNil());
  EXPECT_TRUE(addr.IsAnyIP());
  EXPECT_FALSE(addr.IsComplete());
  EXPECT_FALSE(addr.IsUnresolvedIP());
  EXPECT_EQ("0.0.0.0:0", addr.ToString());
}

TEST_F(SocketAddressTest, NumericAddress) {
  SocketAddress addr(0x7F000001, 8080);
  EXPECT_FALSE(addr.IsNil());
  EXPECT_TRUE(addr.IsComplete());
  EXPECT_TRUE(addr.hostname().empty());
  EXPECT_EQ("127.0.0.1:8080", addr.ToString());
  EXPECT_FALSE(SocketAddress(0x7F000001, 0).IsComplete());
  EXPECT_FALSE(SocketAddress(0, 80).IsNil());
}

TEST_F(SocketAddressTest, NamedConstructionResolvesNumericText) {
  SocketAddress addr("10.1.2.3", 99, false);
  EXPECT_EQ(0x0A010203u, addr.ip());
  EXPECT_TRUE(addr.hostname().empty());  // given as a number: numeric
  EXPECT_EQ(99, addr.port());
  SocketAddress named("localhost", 2, true);
  EXPECT_EQ(0x7F000001u, named.ip());
  EXPECT_EQ("localhost", named.hostname());  // named and resolved
  SocketAddress unresolved("example", 1, false);
  EXPECT_TRUE(unresolved.IsUnresolvedIP());
  EXPECT_EQ(1, unresolved.port());
}

TEST_F(SocketAddressTest, SettersKeepWhatTheySay) {
  SocketAddress addr("name", 5, false);
  addr.SetResolvedIP(0x01020304);
  EXPECT_EQ("name", addr.hostname());  // kept
  EXPECT_EQ("name:5", addr.ToString());
  addr.SetIP(0x05060708u);
  EXPECT_TRUE(addr.hostname().empty());  // cleared
  EXPECT_EQ(5, addr.port());             // kept
  addr.SetPort(70000);
  EXPECT_EQ(4464, addr.port());
  addr.SetPort(-1);
  EXPECT_EQ(65535, addr.port());
  SocketAddress copy(addr);
  EXPECT_EQ(addr, copy);
  addr.Clear();
  EXPECT_TRUE(addr.IsNil());
  addr = copy;
  EXPECT_EQ("5.6.7.8:65535", addr.ToString());
}

TEST_F(SocketAddressTest, ZeroAddressTextLeavesTheAddressUnresolved) {
  SocketAddress addr;
  EXPECT_FALSE(addr.SetIP("0.0.0.0", false));
  EXPECT_TRUE(addr.IsUnresolvedIP());
  EXPECT_EQ("0.0.0.0", addr.hostname());
}

// --- Text --------------------------------------------------------------------

TEST_F(SocketAddressTest, FromStringWithNumericHost) {
  SocketAddress addr;
  EXPECT_TRUE(addr.FromString("10.0.0.1:80"));
  EXPECT_EQ(0x0A000001u, addr.ip());
  EXPECT_EQ(80, addr.port());
  EXPECT_TRUE(addr.hostname().empty());
  EXPECT_EQ("10.0.0.1:80", addr.ToString());
  // Shortened numeric text also makes a numeric address, shown in full.
  EXPECT_TRUE(addr.FromString("10.1:7"));
  EXPECT_EQ("10.0.0.1:7", addr.ToString());
}

TEST_F(SocketAddressTest, FromStringWithNameAndNoDns) {
  SocketAddress addr;
  EXPECT_FALSE(addr.FromString("example:8080", false));
  EXPECT_EQ("example", addr.hostname());
  EXPECT_EQ(8080, addr.port());
  EXPECT_EQ(0u, addr.ip());
  EXPECT_EQ("example:8080", addr.ToString());
}

TEST_F(SocketAddressTest, FromStringPortIsNotValidated) {
  SocketAddress addr;
  addr.FromString("host:70000", false);
  EXPECT_EQ(4464, addr.port());
  addr.FromString("host:", false);
  EXPECT_EQ(0, addr.port());
  addr.FromString("host:12abc", false);
  EXPECT_EQ(12, addr.port());
  addr.FromString("1.2.3.4:5:6", false);  // the first colon counts
  EXPECT_EQ(5, addr.port());
  EXPECT_EQ(0x01020304u, addr.ip());
}

TEST_F(SocketAddressTest, FromStringWithoutColonChangesNothing) {
  SocketAddress addr(0x01020304, 7);
  EXPECT_FALSE(addr.FromString("10.0.0.1"));
  EXPECT_EQ(0x01020304u, addr.ip());
  EXPECT_EQ(7, addr.port());
}

TEST_F(SocketAddressTest, IPToStringSweepsEveryByte) {
  for (unsigned b = 0; b < 256; ++b) {
    const uint32_t ip = (b << 24) | ((255 - b) << 16) | (b << 8) | ((b * 7) & 0xFF);
    char expected[32];
    snprintf(expected, sizeof(expected), "%u.%u.%u.%u", b, 255 - b, b, (b * 7) & 0xFF);
    EXPECT_EQ(expected, SocketAddress::IPToString(ip));
    // And back through the parser.
    EXPECT_EQ(ip, SocketAddress::StringToIP(expected, false));
  }
}

TEST_F(SocketAddressTest, StreamOperatorWritesToString) {
  std::ostringstream out;
  out << SocketAddress(0xC0A80001, 443) << " " << SocketAddress("srv", 1, false);
  EXPECT_EQ("192.168.0.1:443 srv:1", out.str());
  EXPECT_EQ("443", SocketAddress(1, 443).PortAsString());
  EXPECT_EQ("srv", SocketAddress("srv", 1, false).IPAsString());
}

TEST_F(SocketAddressTest, StringToIPTakesEveryInetAtonForm) {
  EXPECT_EQ(0x0A000001u, SocketAddress::StringToIP("10.1", false));
  EXPECT_EQ(0x7F000001u, SocketAddress::StringToIP("0x7f.1", false));
  EXPECT_EQ(0x01020304u, SocketAddress::StringToIP("16909060", false));
  EXPECT_EQ(0u, SocketAddress::StringToIP("1.2.3.256", false));
  EXPECT_EQ(0u, SocketAddress::StringToIP("", false));
}

// --- Resolution --------------------------------------------------------------

TEST_F(SocketAddressTest, ResolvesLocalhostAndLogs) {
  CaptureLog(LS_VERBOSE);
  LogMessage::LogContext(LS_NONE);  // bare texts
  int error = 12345;
  EXPECT_EQ(0x7F000001u, SocketAddress::StringToIP("localhost", true, &error));
  EXPECT_EQ(12345, error);  // only failures write it
  LogMessage::LogContext(LS_WARNING);
  EXPECT_EQ("StringToIP: (localhost)\nStringToIP: (localhost) resolved to: 127.0.0.1\n", log_);
}

TEST_F(SocketAddressTest, NumericTextIsNeverLookedUp) {
  CaptureLog(LS_VERBOSE);
  EXPECT_EQ(0x7F000001u, SocketAddress::StringToIP("127.0.0.1", true));
  EXPECT_EQ("", log_);
}

TEST_F(SocketAddressTest, FailedLookUpIsLoggedAndReported) {
  CaptureLog(LS_ERROR);
  LogMessage::LogContext(LS_NONE);
  int error = 0;
  EXPECT_EQ(0u, SocketAddress::StringToIP("no-such-host.invalid", true, &error));
  LogMessage::LogContext(LS_WARNING);
  EXPECT_NE(0, error);
  EXPECT_EQ("StringToIP: (no-such-host.invalid) error: " + std::to_string(error) + "\n", log_);
  SocketAddress addr;
  int set_error = 0;
  EXPECT_FALSE(addr.SetIP("no-such-host.invalid", true, &set_error));
  EXPECT_EQ(error, set_error);
  EXPECT_TRUE(addr.IsUnresolvedIP());
}

TEST_F(SocketAddressTest, ResolveIPRespectsForce) {
  SocketAddress addr("localhost", 1, false);
  ASSERT_TRUE(addr.IsUnresolvedIP());
  EXPECT_FALSE(addr.ResolveIP(false, false));
  EXPECT_TRUE(addr.ResolveIP(false, true));
  EXPECT_EQ(0x7F000001u, addr.ip());
  addr.SetResolvedIP(0x01010101);
  EXPECT_TRUE(addr.ResolveIP(false, true));  // already resolved: kept
  EXPECT_EQ(0x01010101u, addr.ip());
  EXPECT_TRUE(addr.ResolveIP(true, true));
  EXPECT_EQ(0x7F000001u, addr.ip());
  SocketAddress numeric(0x01020304, 1);
  EXPECT_TRUE(numeric.ResolveIP(true, true));  // nothing to resolve
  EXPECT_EQ(0x01020304u, numeric.ip());
}

TEST_F(SocketAddressTest, HostnameAndLocalIPs) {
  const std::string name = SocketAddress::GetHostname();
  ASSERT_FALSE(name.empty());
  std::vector<uint32_t> ips = {42};
  const bool found = SocketAddress::GetLocalIPs(ips);
  EXPECT_EQ(found, !ips.empty());
  if (found) {
    // Each one is this host's: the name resolves to the first.
    EXPECT_EQ(ips.front(), SocketAddress::StringToIP(name, true));
    EXPECT_TRUE(SocketAddress(ips.front(), 1).IsLocalIP());
  }
  SocketAddress by_name(name, 1, false);
  EXPECT_TRUE(by_name.IsLocalIP());
}

TEST_F(SocketAddressTest, LocalIPs) {
  EXPECT_TRUE(SocketAddress(0x7F000005, 1).IsLocalIP());
  EXPECT_TRUE(SocketAddress("LOCALHOST", 1, false).IsLocalIP());
  EXPECT_FALSE(SocketAddress(0x08080808, 1).IsLocalIP());  // TEST-NET is never ours
  EXPECT_FALSE(SocketAddress("some-other-host", 1, false).IsLocalIP());
  EXPECT_FALSE(SocketAddress().IsLocalIP());
}

// --- Classification ----------------------------------------------------------

TEST_F(SocketAddressTest, Loopback) {
  EXPECT_TRUE(SocketAddress("LocalHost", 1, false).IsLoopbackIP());
  EXPECT_TRUE(SocketAddress("localhost", 1, false).IsLoopbackIP());
  EXPECT_FALSE(SocketAddress("localhost2", 1, false).IsLoopbackIP());
  for (uint32_t low : {0u, 1u, 0xFFFFFFu}) {
    EXPECT_TRUE(SocketAddress((127u << 24) | low, 1).IsLoopbackIP());
  }
  EXPECT_FALSE(SocketAddress(0x80000001, 1).IsLoopbackIP());
  EXPECT_FALSE(SocketAddress(0x7EFFFFFF, 1).IsLoopbackIP());
  // A resolved address is judged by its IP, whatever its name.
  SocketAddress named("localhost", 1, false);
  named.SetResolvedIP(0x0A000001);
  EXPECT_FALSE(named.IsLoopbackIP());
}

TEST_F(SocketAddressTest, PrivateRangesAndTheirEdges) {
  struct {
    const char* text;
    bool is_private;
  } cases[] = {
      {"127.0.0.1", true},        {"10.0.0.0", true},        {"10.255.255.255", true},
      {"11.0.0.0", false},        {"9.255.255.255", false},  {"172.16.0.0", true},
      {"172.31.255.255", true},   {"172.15.255.255", false}, {"172.32.0.0", false},
      {"192.168.0.0", true},      {"192.168.255.255", true}, {"192.169.0.0", false},
      {"192.167.255.255", false}, {"169.254.1.1", true},     {"169.253.255.255", false},
      {"169.255.0.0", false},     {"8.8.8.8", false},        {"0.0.0.0", false},
  };
  for (const auto& c : cases) {
    const SocketAddress addr(SocketAddress::StringToIP(c.text, false), 1);
    EXPECT_EQ(c.is_private, addr.IsPrivateIP()) << c.text;
  }
}

// --- Comparison --------------------------------------------------------------

TEST_F(SocketAddressTest, UnresolvedAddressesCompareByName) {
  SocketAddress a("alpha", 10, false);
  SocketAddress b("alpha", 10, false);
  SocketAddress c("Alpha", 10, false);
  EXPECT_TRUE(a == b);
  EXPECT_FALSE(a == c);  // case-sensitive
  EXPECT_FALSE(a == SocketAddress("alpha", 11, false));
  EXPECT_TRUE(a.EqualIPs(SocketAddress("alpha", 11, false)));
  EXPECT_TRUE(c < a);  // 'A' < 'a'
  EXPECT_FALSE(a < c);
  EXPECT_TRUE(SocketAddress("alpha", 9, false) < a);  // equal names: by port
}

TEST_F(SocketAddressTest, ResolvedAddressesIgnoreTheirNames) {
  SocketAddress a("one", 5, false);
  SocketAddress b("two", 5, false);
  a.SetResolvedIP(0x01020304);
  b.SetResolvedIP(0x01020304);
  EXPECT_TRUE(a == b);
  EXPECT_FALSE(a < b);
  EXPECT_FALSE(b < a);
  EXPECT_TRUE(SocketAddress(0x01020303, 9) < a);  // IP first, unsigned
  EXPECT_TRUE(a < SocketAddress(0x80000000, 1));
  EXPECT_TRUE(SocketAddress(0, 1) < SocketAddress(1, 0));
}

TEST_F(SocketAddressTest, LessThanIsAStrictOrderForSets) {
  std::set<SocketAddress> set;
  set.insert(SocketAddress(1, 1));
  set.insert(SocketAddress(1, 1));
  set.insert(SocketAddress(1, 2));
  set.insert(SocketAddress("x", 1, false));
  set.insert(SocketAddress("y", 1, false));
  set.insert(SocketAddress("x", 1, false));
  EXPECT_EQ(4u, set.size());
}

TEST_F(SocketAddressTest, Hash) {
  EXPECT_EQ(0x00010001u, SocketAddress(0, 1).Hash());
  EXPECT_EQ(0x7F000001u ^ 0x00500050u, SocketAddress(0x7F000001, 80).Hash());
  EXPECT_EQ(0xFFFFFFFFu ^ 0xFFFFFFFFu, SocketAddress(0xFFFFFFFF, 65535).Hash());
}

// --- Binary forms ------------------------------------------------------------

TEST_F(SocketAddressTest, PackedFormIsIpThenPortInHostOrder) {
  ASSERT_EQ(6u, SocketAddress::Size_());
  SocketAddress addr(0x0A0B0C0D, 0x1234);
  char buffer[8];
  memset(buffer, 0x55, sizeof(buffer));
  addr.Write_(buffer, 6);
  uint32_t ip;
  uint16_t port;
  memcpy(&ip, buffer, 4);
  memcpy(&port, buffer + 4, 2);
  EXPECT_EQ(0x0A0B0C0Du, ip);
  EXPECT_EQ(0x1234, port);
  EXPECT_EQ(0x55, buffer[6]);  // nothing beyond the six bytes
  // This host is little-endian: the low byte comes first.
  const unsigned char expected[6] = {0x0D, 0x0C, 0x0B, 0x0A, 0x34, 0x12};
  EXPECT_EQ(0, memcmp(expected, buffer, 6));
}

TEST_F(SocketAddressTest, ReadKeepsTheHostName) {
  SocketAddress source(0xC0A80101, 4000);
  char buffer[6];
  source.Write_(buffer, sizeof(buffer));
  SocketAddress addr("printer", 1, false);
  addr.Read_(buffer, sizeof(buffer));
  EXPECT_EQ(0xC0A80101u, addr.ip());
  EXPECT_EQ(4000, addr.port());
  EXPECT_EQ("printer", addr.IPAsString());
  SocketAddress plain;
  plain.Read_(buffer, sizeof(buffer));
  EXPECT_EQ(source, plain);
}

TEST_F(SocketAddressTest, SockAddrRoundTrip) {
  SocketAddress addr("name", 0xABCD, false);
  addr.SetResolvedIP(0x7F000102);
  sockaddr_in saddr;
  memset(&saddr, 0xEE, sizeof(saddr));
  addr.ToSockAddr(&saddr);
  EXPECT_EQ(AF_INET, saddr.sin_family);
  EXPECT_EQ(htons(0xABCD), saddr.sin_port);
  EXPECT_EQ(htonl(0x7F000102), saddr.sin_addr.s_addr);
  for (unsigned char byte : saddr.sin_zero) EXPECT_EQ(0, byte);
  SocketAddress back;
  back.FromSockAddr(saddr);
  EXPECT_TRUE(back.hostname().empty());
  EXPECT_EQ(0x7F000102u, back.ip());
  EXPECT_EQ(0xABCD, back.port());
}

TEST_F(SocketAddressTest, UnresolvedAddressGivesTheWildcard) {
  sockaddr_in saddr;
  SocketAddress("somewhere", 7, false).ToSockAddr(&saddr);
  EXPECT_EQ(htonl(INADDR_ANY), saddr.sin_addr.s_addr);
  EXPECT_EQ(htons(7), saddr.sin_port);
}

TEST_F(SocketAddressTest, ByteOrder) {
  EXPECT_EQ(0x04030201u, HostToNetwork32(0x01020304));  // little-endian host
  EXPECT_EQ(0x01020304u, NetworkToHost32(HostToNetwork32(0x01020304)));
  EXPECT_EQ(htonl(0xDEADBEEF), HostToNetwork32(0xDEADBEEF));
}

}  // namespace
}  // namespace lumen_base
