#include "platform/namelookup.h"

#include <gtest/gtest.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>

#include <chrono>
#include <condition_variable>
#include <mutex>

using drv::NameLookup;

namespace {

bool Readable(int fd, int ms) {
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, ms) == 1;
}

}  // namespace

TEST(NameLookup, ANumericAddressIsAnsweredAtOnceWithoutTheResolver) {
    bool asked = false;
    NameLookup lookup("127.0.0.1", 7788, AF_INET, [&](auto&&...) {
        asked = true;
        return EAI_FAIL;
    });
    EXPECT_TRUE(lookup.Done());
    EXPECT_TRUE(Readable(lookup.fd(), 0));
    const auto addresses = lookup.Addresses();  // a copy: the pointer below must not outlive it
    ASSERT_EQ(addresses.size(), 1u);
    const auto* in = reinterpret_cast<const sockaddr_in*>(&addresses[0].address);
    EXPECT_EQ(ntohs(in->sin_port), 7788);
    EXPECT_EQ(ntohl(in->sin_addr.s_addr), INADDR_LOOPBACK);
    EXPECT_FALSE(asked);
}

TEST(NameLookup, ANameIsAnsweredOnTheDescriptorAndASilentNameServerHoldsNobody) {
    NameLookup found("localhost", 1, AF_INET);
    ASSERT_TRUE(Readable(found.fd(), 20000));
    EXPECT_TRUE(found.Done());
    EXPECT_EQ(found.Error(), 0);
    EXPECT_FALSE(found.Addresses().empty());

    // A resolver that answers only when the test lets it: the owner goes first and does not wait for it.
    auto gate = std::make_shared<std::pair<std::mutex, std::condition_variable>>();
    auto open = std::make_shared<bool>(false);
    const auto start = std::chrono::steady_clock::now();
    {
        NameLookup stuck("never.invalid", 1, AF_UNSPEC, [gate, open](auto&&...) {
            std::unique_lock lock(gate->first);
            gate->second.wait(lock, [&] { return *open; });
            return EAI_NONAME;
        });
        EXPECT_FALSE(Readable(stuck.fd(), 50));
        EXPECT_FALSE(stuck.Done());
    }
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    {
        std::lock_guard lock(gate->first);
        *open = true;
    }
    gate->second.notify_all();
}
