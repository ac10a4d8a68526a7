// Fuzz target for SocketAddress's parsing of "host:port" and of host texts,
// without the resolver (no name lookups in a fuzzing run). Checked besides
// memory safety: text without a ':' changes nothing; a numeric host keeps no
// name and prints back as text that parses to the same address; the
// sockaddr form and the hash agree with equality; the classifications
// agree with the number.
#include <netinet/in.h>
#include <stdint.h>

#include <string>

#include "base/socketaddress.h"
#include "fuzz/fuzzcheck.h"

using lumen_base::SocketAddress;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  SocketAddress address;
  const bool parsed = address.FromString(text, false);
  if (text.find(':') == std::string::npos) {
    FUZZ_CHECK(!parsed && address.IsNil(), "FromString without a port");
  }

  // The host part alone, as SetIP takes it.
  SocketAddress host;
  const std::string host_text = text.substr(0, text.find(':'));
  if (host.SetIP(host_text, false)) {
    FUZZ_CHECK(host.hostname().empty() || host.ip() == 0, "SetIP of a number keeps no name");
    FUZZ_CHECK(host_text.empty() == (host.ip() == 0 && host.hostname().empty()), "SetIP");
  } else {
    FUZZ_CHECK(host.ip() == 0 && host.hostname() == host_text, "SetIP that fails");
  }
  if (!parsed) return 0;

  FUZZ_CHECK(address.ip() == host.ip() && address.hostname() == host.hostname(), "FromString");
  const std::string printed = address.ToString();
  FUZZ_CHECK(printed == address.IPAsString() + ":" + address.PortAsString(), "ToString");
  if (address.ip() != 0) {
    FUZZ_CHECK(address.IPAsString() == SocketAddress::IPToString(address.ip()), "IPAsString");
    SocketAddress again;
    FUZZ_CHECK(again.FromString(printed, false), "FromString of ToString");
    FUZZ_CHECK(again == address && again.Hash() == address.Hash(), "FromString of ToString");
    FUZZ_CHECK(!(again < address) && !(address < again), "operator<");

    sockaddr_in raw = {};
    address.ToSockAddr(&raw);
    SocketAddress back;
    back.FromSockAddr(raw);
    FUZZ_CHECK(back == address, "FromSockAddr of ToSockAddr");
    FUZZ_CHECK(address.IsLoopbackIP() == (address.ip() >> 24 == 127), "IsLoopbackIP");
    FUZZ_CHECK(!address.IsLoopbackIP() || address.IsPrivateIP(), "IsPrivateIP");
    FUZZ_CHECK(address.IsComplete() == (address.port() != 0), "IsComplete");
  }
  return 0;
}
