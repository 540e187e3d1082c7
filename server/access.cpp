#include "access.h"

#include <boost/asio/ip/network_v6.hpp>

#include <string>

namespace ru {

namespace {

bool matches(const Network& network, const unsigned char* bytes) {
    const int whole = network.prefix / 8;
    for (int i = 0; i < whole; ++i) {
        if (bytes[i] != network.base[i]) {
            return false;
        }
    }
    const int rest = network.prefix % 8;
    if (rest == 0) {
        return true;
    }
    const auto mask = static_cast<unsigned char>(0xFF << (8 - rest));
    return (bytes[whole] & mask) == network.base[whole];
}

boost::asio::ip::address unmapped(const boost::asio::ip::address& address) {
    if (address.is_v6() && address.to_v6().is_v4_mapped()) {
        return boost::asio::ip::make_address_v4(boost::asio::ip::v4_mapped, address.to_v6());
    }
    return address;
}

// The keys a connection from `address` counts under: its address and, for IPv6, its /64.
std::vector<std::string> keysOf(const boost::asio::ip::address& address) {
    std::vector<std::string> keys = {address.to_string()};
    if (address.is_v6()) {
        keys.push_back(
            boost::asio::ip::make_network_v6(address.to_v6(), 64).canonical().to_string());
    }
    return keys;
}

}  // namespace

std::optional<Network> parseNetwork(const std::string& text) {
    const auto slash = text.find('/');
    const std::string addressText = text.substr(0, slash);
    boost::system::error_code error;
    const auto address = boost::asio::ip::make_address(addressText, error);
    if (error || addressText.find('%') != std::string::npos) {
        return std::nullopt;
    }
    Network network;
    network.v6 = address.is_v6();
    const int bits = network.v6 ? 128 : 32;
    network.prefix = bits;
    if (slash != std::string::npos) {
        const std::string prefixText = text.substr(slash + 1);
        if (prefixText.empty() || prefixText.size() > 3 ||
            prefixText.find_first_not_of("0123456789") != std::string::npos) {
            return std::nullopt;
        }
        network.prefix = std::stoi(prefixText);
        if (network.prefix > bits) {
            return std::nullopt;
        }
    }
    if (network.v6 && network.prefix >= 96 &&
        boost::asio::ip::make_network_v6(address.to_v6(), 96)
            .canonical()
            .address()
            .is_v4_mapped()) {
        return std::nullopt;
    }
    if (network.v6) {
        const auto bytes = address.to_v6().to_bytes();
        std::copy(bytes.begin(), bytes.end(), network.base.begin());
    } else {
        const auto bytes = address.to_v4().to_bytes();
        std::copy(bytes.begin(), bytes.end(), network.base.begin());
    }
    for (int bit = network.prefix; bit < bits; ++bit) {
        network.base[bit / 8] &= static_cast<unsigned char>(~(0x80 >> (bit % 8)));
    }
    return network;
}

AllowList AllowList::loopback() {
    return AllowList({*parseNetwork("127.0.0.0/8"), *parseNetwork("::1")});
}

bool AllowList::allows(const boost::asio::ip::address& peer) const {
    const boost::asio::ip::address address = unmapped(peer);
    const bool v6 = address.is_v6();
    std::array<unsigned char, 16> bytes{};
    if (v6) {
        const auto b = address.to_v6().to_bytes();
        std::copy(b.begin(), b.end(), bytes.begin());
    } else {
        const auto b = address.to_v4().to_bytes();
        std::copy(b.begin(), b.end(), bytes.begin());
    }
    for (const Network& network : networks_) {
        if (network.v6 == v6 && matches(network, bytes.data())) {
            return true;
        }
    }
    return false;
}

bool AccessRules::admits(const boost::asio::ip::address& peer) const {
    return boards.allows(peer) || (viewers && viewers->allows(peer)) || metricsReaders.allows(peer);
}

Roles AccessRules::roles(const boost::asio::ip::address& peer, bool certified) const {
    Roles roles = 0;
    if (boardsByCertificate ? certified : boards.allows(peer)) {
        roles |= kBoard | kViewer;
    }
    if ((viewers ? *viewers : boards).allows(peer)) {
        roles |= kViewer;
    }
    if (isLoopback(peer)) {
        roles |= kAdministrator;
    }
    if (metricsReaders.allows(peer)) {
        roles |= kMetricsReader;
    }
    return roles;
}

bool isLoopback(const boost::asio::ip::address& peer) {
    return unmapped(peer).is_loopback();
}

std::optional<std::string> ConnectionCaps::open(const boost::asio::ip::address& peer) {
    const auto keys = keysOf(unmapped(peer));
    const std::size_t fromAddress = counts_[keys[0]];
    const std::size_t fromNetwork = keys.size() > 1 ? counts_[keys[1]] : 0;
    std::optional<std::string> refusal;
    if (total_ >= limits_.total) {
        refusal = std::to_string(total_) + " connections open";
    } else if (fromAddress >= limits_.perAddress) {
        refusal = std::to_string(fromAddress) + " connections open from that address";
    } else if (fromNetwork >= limits_.perNetwork) {
        refusal = std::to_string(fromNetwork) + " connections open from its /64 network";
    }
    for (const std::string& key : keys) {
        if (!refusal) {
            ++counts_[key];
        } else if (counts_[key] == 0) {
            counts_.erase(key);
        }
    }
    total_ += refusal ? 0 : 1;
    return refusal;
}

void ConnectionCaps::close(const boost::asio::ip::address& peer) {
    for (const std::string& key : keysOf(unmapped(peer))) {
        const auto it = counts_.find(key);
        if (it != counts_.end() && --it->second == 0) {
            counts_.erase(it);
        }
    }
    --total_;
}

}  // namespace ru
