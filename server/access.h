#ifndef RU_SERVER_ACCESS_H
#define RU_SERVER_ACCESS_H

#include <boost/asio/ip/address.hpp>

#include <array>
#include <optional>
#include <string>
#include <unordered_map>
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
// any other text: a prefix that is not plain decimal digits or is longer than the address,
// a zone index, or a network within the IPv4-mapped range ::ffff:0:0/96, which could never
// match since mapped peers are compared as IPv4 (write the IPv4 network instead).
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

// What a client may do, decided by the transport for each connection before any route runs
// (routes.h holds the table of which role each route needs). A client may hold several.
enum Role : unsigned {
    kViewer = 1,         // the occupancy page, its data and the head-count read
    kBoard = 2,          // the roster, uploads and head-count reports: student data
    kAdministrator = 4,  // this machine itself
    kMetricsReader = 8,  // GET /metrics, and nothing else by this role
};
using Roles = unsigned;

// Who decides a connection's roles: the boards' networks (--allow) and the viewers'
// (--allow-viewers, by default the same), and whether boards are known by a client
// certificate instead of by address.
struct AccessRules {
    AllowList boards = AllowList::loopback();
    std::optional<AllowList> viewers;  // nothing: the boards' list
    bool boardsByCertificate = false;
    AllowList metricsReaders = AllowList();  // --allow-metrics; empty: nobody

    // Whether a connection from `peer` is let in at all: its address is on one of the
    // lists, that of the metrics readers included. Anyone else is closed at once.
    bool admits(const boost::asio::ip::address& peer) const;
    // The roles of a client at `peer` that admits() let in; `certified` says whether it
    // showed a certificate of the boards' authority (meaningful with boardsByCertificate
    // only). With certificates, a client without one is at most a viewer.
    Roles roles(const boost::asio::ip::address& peer, bool certified) const;
};

// Whether `peer` is this machine: 127.0.0.0/8 or ::1 (also mapped into IPv6).
bool isLoopback(const boost::asio::ip::address& peer);

// The connections open at once, counted overall, per client address and, for IPv6, per
// /64 network: a host holds every address of its /64, so counting addresses alone would
// not bound it. An IPv4 address mapped into IPv6 counts as IPv4. Not thread-safe.
class ConnectionCaps {
  public:
    struct Limits {
        std::size_t total;
        std::size_t perAddress;
        std::size_t perNetwork;  // per IPv6 /64
    };
    explicit ConnectionCaps(Limits limits) : limits_(limits) {}

    // Counts a connection from `peer` and returns nothing; or, when a cap is reached,
    // counts nothing and returns why, e.g. "64 connections open from that address".
    std::optional<std::string> open(const boost::asio::ip::address& peer);
    // Uncounts a connection that open() counted.
    void close(const boost::asio::ip::address& peer);

  private:
    Limits limits_;
    std::size_t total_ = 0;
    std::unordered_map<std::string, std::size_t> counts_;  // by address, and by "/64" network
};

}  // namespace ru

#endif
