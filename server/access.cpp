#include "access.h"

#include <charconv>

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
        const char* end = prefixText.data() + prefixText.size();
        int prefix = -1;
        const auto [ptr, ec] = std::from_chars(prefixText.data(), end, prefix);
        if (prefixText.empty() || ec != std::errc() || ptr != end || prefix < 0 || prefix > bits) {
            return std::nullopt;
        }
        network.prefix = prefix;
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
    boost::asio::ip::address address = peer;
    if (address.is_v6() && address.to_v6().is_v4_mapped()) {
        address = boost::asio::ip::make_address_v4(boost::asio::ip::v4_mapped, address.to_v6());
    }
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

}  // namespace ru
