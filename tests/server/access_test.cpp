#include <gtest/gtest.h>

#include <boost/asio/ip/address.hpp>

#include <string>
#include <vector>

#include "access.h"

namespace {

TEST(AllowList, NetworksLetInExactlyTheirAddresses) {
    struct Case {
        std::vector<std::string> networks;
        std::string peer;
        bool allowed;
    };
    const Case cases[] = {
        {{"192.168.10.0/24"}, "192.168.10.0", true},
        {{"192.168.10.0/24"}, "192.168.10.255", true},
        {{"192.168.10.0/24"}, "192.168.11.1", false},
        {{"192.168.10.0/23"}, "192.168.11.1", true},
        {{"10.0.0.0/8"}, "10.255.1.2", true},
        {{"10.0.0.0/8"}, "11.0.0.1", false},
        {{"10.1.2.3"}, "10.1.2.3", true},
        {{"10.1.2.3"}, "10.1.2.4", false},
        {{"10.1.2.3/31"}, "10.1.2.2", true},  // host bits past the prefix are ignored
        {{"10.0.0.0/08"}, "10.9.9.9", true},
        {{"::/0"}, "::ffff:10.0.0.1", false},  // a network holding mapped addresses, harmless
        {{"0.0.0.0/0"}, "203.0.113.9", true},
        {{"0.0.0.0/0"}, "2001:db8::1", false},  // an IPv4 network never holds IPv6 peers
        {{"fd00::/8"}, "fd12:3456::1", true},
        {{"fd00::/8"}, "fe80::1", false},
        {{"2001:db8::/33"}, "2001:db8:7fff::1", true},
        {{"2001:db8::/33"}, "2001:db8:8000::1", false},
        {{"::1"}, "::1", true},
        {{"::1"}, "::2", false},
        // A dual-stack socket reports IPv4 clients as mapped addresses.
        {{"127.0.0.0/8"}, "::ffff:127.0.0.5", true},
        {{"127.0.0.0/8"}, "::ffff:128.0.0.1", false},
        {{"10.0.0.0/8", "fd00::/8"}, "fd00::5", true},
        {{}, "127.0.0.1", false},
    };
    for (const Case& c : cases) {
        std::vector<ru::Network> networks;
        for (const std::string& text : c.networks) {
            const auto network = ru::parseNetwork(text);
            ASSERT_TRUE(network) << text;
            networks.push_back(*network);
        }
        const std::string label =
            c.peer + " in " + (c.networks.empty() ? std::string("nothing") : c.networks[0]);
        EXPECT_EQ(ru::AllowList(networks).allows(boost::asio::ip::make_address(c.peer)), c.allowed)
            << label;
    }
}

TEST(AllowList, DefaultIsThisMachineOnly) {
    const ru::AllowList loopback = ru::AllowList::loopback();
    for (const char* peer : {"127.0.0.1", "127.255.0.9", "::1", "::ffff:127.0.0.1"}) {
        EXPECT_TRUE(loopback.allows(boost::asio::ip::make_address(peer))) << peer;
    }
    for (const char* peer : {"192.168.0.2", "10.0.0.1", "::2", "fe80::1", "128.0.0.1"}) {
        EXPECT_FALSE(loopback.allows(boost::asio::ip::make_address(peer))) << peer;
    }
}

TEST(AllowList, MalformedNetworksAreRefused) {
    for (const char* text :
         {"", "/8", "10.0.0.0/", "10.0.0.0/33", "10.0.0.0/-1", "10.0.0.0/8x", "10.0.0/8",
          "256.0.0.0/8", "fd00::/129", "fe80::1%eth0", "host.lan", "10.0.0.0/8/8", "10.0.0.0/+8",
          " 10.0.0.0/8", "1.2.3.4/-0", "fd00::/-0", "10.0.0.0/ 8", "10.0.0.0/0x8",
          // IPv4-mapped: such peers are compared as IPv4, never as these.
          "::ffff:127.0.0.1", "::ffff:10.0.0.0/104", "::ffff:0:0/96"}) {
        EXPECT_FALSE(ru::parseNetwork(text)) << "'" << text << "'";
    }
}

TEST(ConnectionCaps, CountPerAddressAndPerIpv6Network) {
    ru::ConnectionCaps caps({/*total*/ 100, /*perAddress*/ 2, /*perNetwork*/ 3});
    const std::string address = " connections open from that address";
    const std::pair<std::string, std::string> steps[] = {
        // "+" opens a connection from the address, "-" closes one; then the refusal expected.
        {"+2001:db8::1", ""},
        {"+2001:db8::1", ""},
        {"+2001:db8::1", "2" + address},
        {"+2001:db8::2", ""},
        {"+2001:db8::3", "3 connections open from its /64 network"},  // a host has them all
        {"+2001:db8:0:1::3", ""},
        {"-2001:db8::1", ""},
        {"+2001:db8::3", ""},
        {"+::ffff:10.0.0.1", ""},  // a mapped peer is its IPv4 address
        {"+10.0.0.1", ""},
        {"+10.0.0.1", "2" + address},
        {"-::ffff:10.0.0.1", ""},
        {"+10.0.0.1", ""}};
    for (const auto& [step, refusal] : steps) {
        const auto peer = boost::asio::ip::make_address(step.substr(1));
        if (step[0] == '+') {
            EXPECT_EQ(caps.open(peer).value_or(""), refusal) << step;
        } else {
            caps.close(peer);
        }
    }
}

}  // namespace
