// SocketAddress: an IPv4 endpoint value, an IP address and a port, that may
// carry a host name to be resolved on demand.  It converts to and from the
// system's socket address, to text, and to a 6-byte packed form, and tells
// apart the any, loopback, private and local addresses.
//
// An address is in one of four states: nil (no name, IP 0, port 0), numeric
// (IP set, no name), named and resolved (both set) and unresolved (a name
// and IP 0).  IP and port are held in host byte order: 127.0.0.1 is
// 0x7F000001.
//
// Threading: a SocketAddress is a plain value; distinct objects may be used
// on different threads.  Name resolution blocks the calling thread.
#ifndef BASE_SOCKETADDRESS_H_
#define BASE_SOCKETADDRESS_H_

#include <stddef.h>
#include <stdint.h>

#include <iosfwd>
#include <string>
#include <vector>

struct sockaddr_in;

namespace lumen_base {

class SocketAddress {
 public:
  // Nil.
  SocketAddress();
  // Numeric, host byte order.
  SocketAddress(uint32_t ip, int port);
  // SetIP(hostname, use_dns) then SetPort(port); a failed resolution leaves
  // the address unresolved and is not reported.
  SocketAddress(const std::string& hostname, int port, bool use_dns = true);
  SocketAddress(const SocketAddress& addr);
  SocketAddress& operator=(const SocketAddress& addr);

  // Back to nil.
  void Clear();

  // Numeric address: clears the host name; keeps the port.
  void SetIP(uint32_t ip);
  // Takes `hostname` as the name, sets IP 0 and resolves it (numeric text
  // always; other names only with use_dns).  Numeric text that resolves
  // makes a numeric address, without a name.  False when the text does not
  // resolve to a non-zero address: the address is then unresolved (the text
  // as its name, "0.0.0.0" included), and the resolver's code is in *err
  // when err is not null.
  bool SetIP(const std::string& hostname, bool use_dns = true, int* err = nullptr);
  // Sets the IP and keeps the host name.
  void SetResolvedIP(uint32_t ip);
  // Keeps the low 16 bits: 70000 becomes 4464.
  void SetPort(int port);

  const std::string& hostname() const { return hostname_; }
  uint32_t ip() const { return ip_; }
  uint16_t port() const { return port_; }

  // "a.b.c.d" from the most significant byte.
  static std::string IPToString(uint32_t ip);
  // The host name when there is one, else IPToString(ip()).
  std::string IPAsString() const;
  std::string PortAsString() const;
  // IPAsString() + ":" + port: "example:8080", "10.0.0.1:80".
  std::string ToString() const;

  // Parses "host:port": the port is the decimal number after the first ':'
  // (strtoul, kept to 16 bits, no validation: "" gives 0, trailing text is
  // ignored), then the host part goes through SetIP(host, use_dns).  Returns
  // SetIP's result; the port is set even when that fails.  Without a ':'
  // returns false and changes nothing.
  bool FromString(const std::string& str, bool use_dns = true);

  // IP 0, whatever the host name.
  bool IsAnyIP() const;
  // 127.x.y.z, or, with IP 0, the name "localhost" in any case.
  bool IsLoopbackIP() const;
  // 127/8, 10/8, 172.16/12, 192.168/16 and 169.254/16.
  bool IsPrivateIP() const;
  // Loopback; or an IP among GetLocalIPs(); or, with IP 0, the name of this
  // host in any case.  May resolve this host's name.
  bool IsLocalIP() const;
  bool IsNil() const;
  // IP and port both non-zero.
  bool IsComplete() const;
  // A host name without an IP.
  bool IsUnresolvedIP() const;

  // Resolves the host name into the IP.  True at once without a name, or
  // when an IP is already there and `force` is false.  False, keeping the
  // IP, when the name does not resolve; *err (when not null) then holds the
  // resolver's code.
  bool ResolveIP(bool force = false, bool use_dns = true, int* err = nullptr);

  // Equal IPs; when both are 0, equal host names too (case-sensitive).
  bool EqualIPs(const SocketAddress& addr) const;
  bool EqualPorts(const SocketAddress& addr) const;
  bool operator==(const SocketAddress& addr) const;
  bool operator!=(const SocketAddress& addr) const { return !(*this == addr); }
  // By IP; with both IPs 0 by host name (byte order); then by port.
  bool operator<(const SocketAddress& addr) const;

  // (port | port << 16) ^ ip.
  uint32_t Hash() const;

  // The packed form: 6 bytes, the IP then the port, both in this host's
  // byte order (no conversion).  The host name is not part of it.  Neither
  // Write_ nor Read_ looks at `len`; callers provide at least Size_() bytes.
  static size_t Size_() { return 6; }
  void Write_(char* buf, int len) const;
  // Sets IP and port from the packed form; the host name stays.
  void Read_(const char* buf, int len);

  // The system's form: family AF_INET, port and IP in network order (IP 0
  // is the wildcard address), everything else zero.
  void ToSockAddr(sockaddr_in* saddr) const;
  // IP and port from `saddr`; the host name is cleared.
  void FromSockAddr(const sockaddr_in& saddr);

  // The address of `str`, host order; 0 on failure.  Any text inet_aton
  // takes ("10.1", "0x7f.1") is converted without a look-up; others are
  // looked up only with use_dns.  A failed look-up is logged and its code
  // stored in *err when err is not null.
  static uint32_t StringToIP(const std::string& str, bool use_dns = true, int* err = nullptr);
  // This host's name; empty when it cannot be read.
  static std::string GetHostname();
  // Replaces `ips` with the IPv4 addresses this host's name resolves to,
  // host order, in the resolver's order.  False (and `ips` empty) when the
  // name is unknown or does not resolve.
  static bool GetLocalIPs(std::vector<uint32_t>& ips);

 private:
  std::string hostname_;
  uint32_t ip_;
  uint16_t port_;
};

// Writes ToString().
std::ostream& operator<<(std::ostream& os, const SocketAddress& addr);

// Between network (big-endian) and host byte order.
uint32_t NetworkToHost32(uint32_t n);
uint32_t HostToNetwork32(uint32_t n);

}  // namespace lumen_base

#endif  // BASE_SOCKETADDRESS_H_
