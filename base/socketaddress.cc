#include "base/socketaddress.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <unistd.h>

#include <ostream>

#include "base/logging.h"
#include "base/macutils.h"

namespace lumen_base {

namespace {

// Room for the entry data of a look-up: names, aliases, address list.
constexpr int kHostBufferBytes = 8192;

// The address list of a successful look-up (IPv4, 4 bytes each) in host order.
std::vector<uint32_t> AddressesOf(const struct hostent* entry) {
  std::vector<uint32_t> addresses;
  for (char** item = entry->h_addr_list; *item != nullptr; ++item) {
    uint32_t address;
    memcpy(&address, *item, sizeof(address));
    addresses.push_back(NetworkToHost32(address));
  }
  return addresses;
}

// True when inet_aton takes `text` (dotted, shortened, octal and hex forms);
// *ip is then the address in host order.
bool ParseNumericIP(const std::string& text, uint32_t* ip) {
  struct in_addr numeric;
  if (inet_aton(text.c_str(), &numeric) == 0) return false;
  *ip = NetworkToHost32(numeric.s_addr);
  return true;
}

}  // namespace

SocketAddress::SocketAddress() : ip_(0), port_(0) {}

SocketAddress::SocketAddress(uint32_t ip, int port) : ip_(ip), port_(0) { SetPort(port); }

SocketAddress::SocketAddress(const std::string& hostname, int port, bool use_dns)
    : ip_(0), port_(0) {
  SetIP(hostname, use_dns, nullptr);
  SetPort(port);
}

SocketAddress::SocketAddress(const SocketAddress& addr) = default;

SocketAddress& SocketAddress::operator=(const SocketAddress& addr) = default;

void SocketAddress::Clear() {
  hostname_.clear();
  ip_ = 0;
  port_ = 0;
}

void SocketAddress::SetIP(uint32_t ip) {
  hostname_.clear();
  ip_ = ip;
}

bool SocketAddress::SetIP(const std::string& hostname, bool use_dns, int* err) {
  hostname_ = hostname;
  ip_ = 0;
  if (!ResolveIP(true, use_dns, err)) return false;
  // An address given as a number is numeric: it carries no name.
  uint32_t numeric;
  if (ParseNumericIP(hostname_, &numeric)) hostname_.clear();
  return true;
}

void SocketAddress::SetResolvedIP(uint32_t ip) { ip_ = ip; }

void SocketAddress::SetPort(int port) { port_ = static_cast<uint16_t>(port); }

std::string SocketAddress::IPToString(uint32_t ip) {
  std::string text;
  for (int shift = 24; shift >= 0; shift -= 8) {
    if (shift != 24) text += '.';
    text += std::to_string((ip >> shift) & 0xFF);
  }
  return text;
}

std::string SocketAddress::IPAsString() const {
  return hostname_.empty() ? IPToString(ip_) : hostname_;
}

std::string SocketAddress::PortAsString() const { return std::to_string(port_); }

std::string SocketAddress::ToString() const { return IPAsString() + ":" + PortAsString(); }

bool SocketAddress::FromString(const std::string& str, bool use_dns) {
  const size_t colon = str.find(':');
  if (colon == std::string::npos) return false;
  SetPort(static_cast<int>(strtoul(str.c_str() + colon + 1, nullptr, 10)));
  return SetIP(str.substr(0, colon), use_dns, nullptr);
}

bool SocketAddress::IsAnyIP() const { return ip_ == 0; }

bool SocketAddress::IsLoopbackIP() const {
  if (ip_ != 0) return (ip_ >> 24) == 127;
  return strcasecmp(hostname_.c_str(), "localhost") == 0;
}

bool SocketAddress::IsPrivateIP() const {
  return (ip_ >> 24) == 127 || (ip_ >> 24) == 10 || (ip_ >> 20) == 0xAC1 || (ip_ >> 16) == 0xC0A8 ||
         (ip_ >> 16) == 0xA9FE;
}

bool SocketAddress::IsLocalIP() const {
  if (IsLoopbackIP()) return true;
  if (ip_ != 0) {
    std::vector<uint32_t> ips;
    if (!GetLocalIPs(ips)) return false;
    for (uint32_t local : ips) {
      if (local == ip_) return true;
    }
    return false;
  }
  if (hostname_.empty()) return false;
  return strcasecmp(hostname_.c_str(), GetHostname().c_str()) == 0;
}

bool SocketAddress::IsNil() const { return hostname_.empty() && ip_ == 0 && port_ == 0; }

bool SocketAddress::IsComplete() const { return ip_ != 0 && port_ != 0; }

bool SocketAddress::IsUnresolvedIP() const { return ip_ == 0 && !hostname_.empty(); }

bool SocketAddress::ResolveIP(bool force, bool use_dns, int* err) {
  if (hostname_.empty()) return true;
  if (!force && ip_ != 0) return true;
  const uint32_t ip = StringToIP(hostname_, use_dns, err);
  if (ip == 0) return false;
  ip_ = ip;
  return true;
}

bool SocketAddress::EqualIPs(const SocketAddress& addr) const {
  return ip_ == addr.ip_ && (ip_ != 0 || hostname_ == addr.hostname_);
}

bool SocketAddress::EqualPorts(const SocketAddress& addr) const { return port_ == addr.port_; }

bool SocketAddress::operator==(const SocketAddress& addr) const {
  return EqualIPs(addr) && EqualPorts(addr);
}

bool SocketAddress::operator<(const SocketAddress& addr) const {
  if (ip_ != addr.ip_) return ip_ < addr.ip_;
  if (ip_ == 0 && hostname_ != addr.hostname_) return hostname_ < addr.hostname_;
  return port_ < addr.port_;
}

uint32_t SocketAddress::Hash() const {
  return (static_cast<uint32_t>(port_) | (static_cast<uint32_t>(port_) << 16)) ^ ip_;
}

void SocketAddress::Write_(char* buf, int /*len*/) const {
  memcpy(buf, &ip_, sizeof(ip_));
  memcpy(buf + sizeof(ip_), &port_, sizeof(port_));
}

void SocketAddress::Read_(const char* buf, int /*len*/) {
  memcpy(&ip_, buf, sizeof(ip_));
  memcpy(&port_, buf + sizeof(ip_), sizeof(port_));
}

void SocketAddress::ToSockAddr(sockaddr_in* saddr) const {
  memset(saddr, 0, sizeof(*saddr));
  saddr->sin_family = AF_INET;
  saddr->sin_port = htons(port_);
  if (ip_ != 0) saddr->sin_addr.s_addr = HostToNetwork32(ip_);
}

void SocketAddress::FromSockAddr(const sockaddr_in& saddr) {
  SetIP(NetworkToHost32(saddr.sin_addr.s_addr));
  SetPort(ntohs(saddr.sin_port));
}

uint32_t SocketAddress::StringToIP(const std::string& str, bool use_dns, int* err) {
  uint32_t numeric;
  if (ParseNumericIP(str, &numeric)) return numeric;
  if (!use_dns) return 0;
  LOG_F(LS_VERBOSE) << "(" << str << ")";
  struct hostent entry;
  char buffer[kHostBufferBytes];
  int error = 0;
  struct hostent* result = SafeGetHostByName(str.c_str(), &entry, buffer, sizeof(buffer), &error);
  if (result == nullptr) {
    LOG_F(LS_ERROR) << "(" << str << ") error: " << error;
    if (err != nullptr) *err = error;
    return 0;
  }
  const uint32_t ip = AddressesOf(result).front();
  LOG_F(LS_VERBOSE) << "(" << str << ") resolved to: " << IPToString(ip);
  FreeHostEnt(result);
  return ip;
}

std::string SocketAddress::GetHostname() {
  char name[256];
  if (gethostname(name, sizeof(name)) != 0) return std::string();
  name[sizeof(name) - 1] = '\0';  // a truncated name need not be terminated
  return name;
}

bool SocketAddress::GetLocalIPs(std::vector<uint32_t>& ips) {
  ips.clear();
  const std::string name = GetHostname();
  if (name.empty()) return false;
  struct hostent entry;
  char buffer[kHostBufferBytes];
  int error = 0;
  struct hostent* result = SafeGetHostByName(name.c_str(), &entry, buffer, sizeof(buffer), &error);
  if (result == nullptr) {
    LOG(LS_ERROR) << "gethostbyname error: " << error;
    return false;
  }
  ips = AddressesOf(result);
  // Released like every other entry, so the rule holds whatever the look-up.
  FreeHostEnt(result);
  return !ips.empty();
}

std::ostream& operator<<(std::ostream& os, const SocketAddress& addr) {
  return os << addr.ToString();
}

uint32_t NetworkToHost32(uint32_t n) { return ntohl(n); }

uint32_t HostToNetwork32(uint32_t n) { return htonl(n); }

}  // namespace lumen_base
