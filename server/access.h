#ifndef RU_SERVER_ACCESS_H
#define RU_SERVER_ACCESS_H

#include <boost/asio/ip/address.hpp>

#include <array>
#include <optional>
#include <string>
#include <vector>

namespace ru {

// One network in CIDR form, IPv4 or IPv6: every address whose first `prefix` bits equal
// those of `base`. Bits of `base` past the prefix are always zero.
struct Network {
    bool v6 = false;
    std::array<unsigned char, 16> base{};  // an IPv4 network uses the first 4 bytes
    int prefix = 0;
};

// Parses "10.0.0.0/8", "fd00::/8", or a single address ("192.168.1.7", "::1"), which is
// a network of that address alone. Host bits after the prefix are ignored. Nothing for
// any other text, a prefix longer than the address, or a zone index.
std::optional<Network> parseNetwork(const std::string& text);

// The networks whose clients may use the server; an empty list lets nobody in.
class AllowList {
  public:
    AllowList() = default;
    explicit AllowList(std::vector<Network> networks) : networks_(std::move(networks)) {}

    // 127.0.0.0/8 and ::1: this machine only.
    static AllowList loopback();

    // Whether `peer` belongs to a listed network. An IPv4 address mapped into IPv6
    // (::ffff:a.b.c.d, as a dual-stack socket reports IPv4 clients) counts as IPv4.
    bool allows(const boost::asio::ip::address& peer) const;

  private:
    std::vector<Network> networks_;
};

}  // namespace ru

#endif
