// The PC's global IPv6 address: which one is chosen, what counts as a change,
// the kernel's answer read with every length checked, and the real kernel in
// a network namespace the test makes, with interfaces and addresses of its own.
#include "platform/GlobalIpv6.h"

#include "support/NetworkNamespace.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <linux/if_addr.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <thread>
#include <utility>

using namespace std::chrono_literals;
using namespace tavro;
using namespace tavro::test;

namespace {

std::array<std::uint8_t, 16> Bytes(const char* text) {
  std::array<std::uint8_t, 16> bytes{};
  EXPECT_EQ(::inet_pton(AF_INET6, text, bytes.data()), 1) << text;
  return bytes;
}

Ipv6InterfaceAddress Address(const char* text, unsigned index, std::uint32_t flags = 0,
                             std::uint32_t preferred = kLifetimeForever) {
  Ipv6InterfaceAddress a;
  a.Bytes = Bytes(text);
  a.InterfaceIndex = index;
  a.Flags = flags;
  a.PreferredLifetime = preferred;
  return a;
}

std::string Chosen(const std::vector<Ipv6InterfaceAddress>& addresses) {
  const auto chosen = ChooseStableIpv6(addresses);
  return chosen ? chosen->Text() : "none";
}

TEST(GlobalIpv6Test, OnlyGlobalUnicastOutsideTheDocumentationRanges) {
  for (const char* global : {"2400:1::10", "2001:4860::8888", "2002:c000:201::1", "2001:db9::1",
                             "2001:db7:ffff::1", "3fff:1000::1", "3ffe::1"}) {
    EXPECT_TRUE(IsGlobalIpv6(Bytes(global))) << global;
  }
  for (const char* other :
       {"::", "::1", "::ffff:192.0.2.1", "::192.0.2.1", "fe80::1", "febf::1", "fec0::1", "fc00::1",
        "fdff:ffff::1", "ff02::1", "ff0e::1", "2001:db8::1", "2001:db8:ffff::1", "3fff::1",
        "3fff:fff::1", "1fff:ffff::1", "4000::1", "64:ff9b::c000:201"}) {
    EXPECT_FALSE(IsGlobalIpv6(Bytes(other))) << other;
  }
}

TEST(GlobalIpv6Test, TheStatedOrderAndTheSkippedFlags) {
  using namespace ipv6flag;
  // Everything on interface 2 would come first but is no stable global
  // address; interface 3 holds the answer.
  std::vector<Ipv6InterfaceAddress> addresses = {
      Address("2400:9::1", 3),
      Address("2400:1::1", 2, kTemporary),
      Address("2400:1::2", 2, kDeprecated, 0),
      Address("2400:1::3", 2, kTentative | kPermanent),
      Address("2400:1::4", 2, kDadFailed | kTentative | kPermanent),
      Address("fd00::1", 2, kPermanent),
      Address("fe80::1", 2, kPermanent),
      Address("2001:db8::1", 2, kPermanent),
      Address("2400:8::1", 3),
  };
  EXPECT_EQ(Chosen(addresses), "2400:8::1");  // the lower of two router-given ones
  addresses.push_back(Address("2400:f::1", 3, kPermanent));
  EXPECT_EQ(Chosen(addresses), "2400:f::1");  // a configured one before them
  addresses.push_back(Address("2400:ff::1", 1, 0, 10));
  EXPECT_EQ(Chosen(addresses), "2400:ff::1");  // the lower interface before all
  EXPECT_EQ(Chosen({}), "none");
  EXPECT_EQ(Chosen({addresses.begin() + 1, addresses.begin() + 8}), "none");
}

TEST(GlobalIpv6Test, OnlyTheChosenAddressMakesAChange) {
  using namespace ipv6flag;
  const std::vector<Ipv6InterfaceAddress> before = {Address("2400:1::10", 2, 0, 3600),
                                                    Address("2400:1::abcd", 2, kTemporary, 600),
                                                    Address("fe80::1", 2, kPermanent)};

  EXPECT_EQ(Chosen(before), "2400:1::10");
  auto later = before;  // lifetimes count down between readings
  later[0].PreferredLifetime = 3000;
  later[1].PreferredLifetime = 0;
  EXPECT_EQ(Chosen(later), "2400:1::10");

  auto newTemporary = before;  // the daily privacy address is replaced
  newTemporary[1] = Address("2400:1::beef", 2, kTemporary, 86400);
  newTemporary.push_back(Address("2400:1::abcd", 2, kTemporary | kDeprecated, 0));
  EXPECT_EQ(Chosen(newTemporary), "2400:1::10");

  auto renumbered = before;
  renumbered[0] = Address("2400:2::10", 2, 0, 3600);
  EXPECT_EQ(Chosen(renumbered), "2400:2::10");
  auto deprecated = before;
  deprecated[0].Flags |= kDeprecated;
  EXPECT_EQ(Chosen(deprecated), "none");
  // A failed reading has no addresses; it is no reading of "none".
  EXPECT_EQ(StableIpv6Text(Ipv6Reading{before, ""}), "2400:1::10");
  EXPECT_EQ(StableIpv6Text(Ipv6Reading{{}, ""}), "");
}

// ---- The kernel's answer, made by hand --------------------------------------

constexpr std::uint32_t kSequence = 7;
constexpr std::uint32_t kPort = 4242;

void Append(std::string& out, const void* data, std::size_t size) {
  out.append(static_cast<const char*>(data), size);
  out.append((4 - size % 4) % 4, '\0');
}

std::string Attribute(std::uint16_t type, const void* data, std::size_t size) {
  rtattr header{static_cast<unsigned short>(sizeof(rtattr) + size), type};
  std::string out(reinterpret_cast<const char*>(&header), sizeof header);
  Append(out, data, size);
  return out;
}

std::string Message(std::uint16_t type, const std::string& payload,
                    std::uint16_t flags = NLM_F_MULTI, std::uint32_t sequence = kSequence) {
  nlmsghdr header{static_cast<std::uint32_t>(sizeof(nlmsghdr) + payload.size()), type, flags,
                  sequence, kPort};
  std::string out(reinterpret_cast<const char*>(&header), sizeof header);
  out += payload;
  return out;
}

std::string AddressMessage(const char* text, unsigned index, std::uint32_t flags,
                           const char* local = nullptr, unsigned char family = AF_INET6) {
  ifaddrmsg header{family, 64, static_cast<unsigned char>(flags & 0xFF), RT_SCOPE_UNIVERSE, index};
  std::string payload;
  Append(payload, &header, sizeof header);
  const auto bytes = Bytes(text);
  payload += Attribute(IFA_ADDRESS, bytes.data(), bytes.size());
  if (local) {
    const auto localBytes = Bytes(local);
    payload += Attribute(IFA_LOCAL, localBytes.data(), localBytes.size());
  }
  payload += Attribute(IFA_FLAGS, &flags, sizeof flags);
  ifa_cacheinfo lifetimes{1800, 3600, 0, 0};
  payload += Attribute(IFA_CACHEINFO, &lifetimes, sizeof lifetimes);
  return Message(RTM_NEWADDR, payload);
}

struct Parsed {
  DumpStep Step;
  std::vector<Ipv6InterfaceAddress> Addresses;
  std::string Error;
};

Parsed Parse(const std::string& datagram, std::size_t maxAddresses = 100) {
  Parsed parsed;
  parsed.Step =
      ParseAddressDump(datagram, kSequence, kPort, maxAddresses, parsed.Addresses, parsed.Error);
  return parsed;
}

TEST(AddressDumpTest, ReadsAddressesFlagsAndLifetimesUntilTheEnd) {
  const std::uint32_t flags = IFA_F_TEMPORARY | IFA_F_MANAGETEMPADDR;  // beyond the header's byte
  std::string datagram = AddressMessage("2400:1::10", 3, flags) +
                         AddressMessage("2400:1::20", 4, 0, "2400:1::21") +
                         AddressMessage("2400:1::30", 5, 0, nullptr, AF_INET) +
                         Message(RTM_NEWADDR, "", NLM_F_MULTI, kSequence + 1);
  Parsed parsed = Parse(datagram);
  ASSERT_EQ(parsed.Step, DumpStep::More) << parsed.Error;
  ASSERT_EQ(parsed.Addresses.size(), 2u);
  EXPECT_EQ(parsed.Addresses[0].Text(), "2400:1::10");
  EXPECT_EQ(parsed.Addresses[0].InterfaceIndex, 3u);
  EXPECT_EQ(parsed.Addresses[0].Flags, flags);
  EXPECT_EQ(parsed.Addresses[0].PrefixLength, 64);
  EXPECT_EQ(parsed.Addresses[0].PreferredLifetime, 1800u);
  EXPECT_EQ(parsed.Addresses[0].ValidLifetime, 3600u);
  EXPECT_EQ(parsed.Addresses[1].Text(), "2400:1::21");  // the local end, not the peer

  const int done = 0;
  EXPECT_EQ(
      Parse(datagram + Message(NLMSG_DONE, std::string(reinterpret_cast<const char*>(&done), 4)))
          .Step,
      DumpStep::Done);
  EXPECT_EQ(Parse(AddressMessage("2400:1::10", 3, 0).replace(6, 2, "\x12\x00", 2)).Step,
            DumpStep::Interrupted);  // NLM_F_DUMP_INTR in the flags
  EXPECT_EQ(Parse(datagram, 1).Step, DumpStep::Failed);

  nlmsgerr refused{};
  refused.error = -EPERM;
  parsed = Parse(
      Message(NLMSG_ERROR, std::string(reinterpret_cast<const char*>(&refused), sizeof refused)));
  EXPECT_EQ(parsed.Step, DumpStep::Failed);
  EXPECT_EQ(parsed.Error, "netlink address list: Operation not permitted");
  // No errno, and not one that negates (the sanitizer build would stop there).
  refused.error = std::numeric_limits<int>::min();
  parsed = Parse(
      Message(NLMSG_ERROR, std::string(reinterpret_cast<const char*>(&refused), sizeof refused)));
  EXPECT_EQ(parsed.Step, DumpStep::Failed);
  EXPECT_NE(parsed.Error, "");
}

TEST(AddressDumpTest, EveryLengthIsCheckedBeforeItIsRead) {
  const std::string whole = AddressMessage("2400:1::10", 3, 0) + AddressMessage("2400:1::20", 3, 0);
  const std::size_t first = whole.size() / 2;
  // Cut anywhere but between the messages, the datagram is refused, never
  // read past its end (the sanitizer build would see that).
  for (std::size_t cut = 1; cut < whole.size(); ++cut) {
    const Parsed parsed = Parse(whole.substr(0, cut));
    EXPECT_EQ(parsed.Step, cut == first ? DumpStep::More : DumpStep::Failed) << "cut at " << cut;
    EXPECT_FALSE(parsed.Error.empty() && parsed.Step == DumpStep::Failed);
  }
  // Lengths that point outside what holds them. An attribute length below its
  // own header would loop for ever if taken.
  const std::size_t firstAttribute = sizeof(nlmsghdr) + sizeof(ifaddrmsg);
  for (const std::uint16_t rtaLength : {0, 3, 200}) {
    std::string broken = AddressMessage("2400:1::10", 3, 0);
    std::memcpy(broken.data() + firstAttribute, &rtaLength, 2);
    EXPECT_EQ(Parse(broken).Step, DumpStep::Failed) << rtaLength;
  }
  // One to three bytes after the last attribute, inside the message.
  for (std::uint32_t stray = 1; stray <= 3; ++stray) {
    std::string broken = AddressMessage("2400:1::10", 3, 0) + std::string(stray, '\x01');
    const auto length = static_cast<std::uint32_t>(broken.size());
    std::memcpy(broken.data(), &length, 4);
    EXPECT_EQ(Parse(broken).Step, DumpStep::Failed) << stray;
  }
  for (const std::uint32_t nlLength : {0u, 15u, 4096u}) {
    std::string broken = AddressMessage("2400:1::10", 3, 0);
    std::memcpy(broken.data(), &nlLength, 4);
    EXPECT_EQ(Parse(broken).Step, DumpStep::Failed) << nlLength;
  }
  // An address attribute of the wrong size.
  ifaddrmsg header{AF_INET6, 64, 0, 0, 3};
  std::string payload;
  Append(payload, &header, sizeof header);
  payload += Attribute(IFA_ADDRESS, "\x24\x00", 2);
  EXPECT_EQ(Parse(Message(RTM_NEWADDR, payload)).Step, DumpStep::Failed);
}

// ---- The real kernel, in a network namespace of the test's own ----------

// The body of a namespaced test: in the parent, run it in the namespace;
// in the copy, go on.
#define TAVRO_IN_OWN_NETWORK_NAMESPACE()                                                       \
  if (!InOwnNetworkNamespace()) {                                                              \
    const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();                \
    std::string why;                                                                           \
    const int status = RerunInNetworkNamespace(                                                \
        {std::string("--gtest_filter=") + test->test_suite_name() + "." + test->name()}, why); \
    if (status < 0) {                                                                          \
      GTEST_SKIP() << why;                                                                     \
    }                                                                                          \
    if (status == kNoInterfaces) {                                                             \
      GTEST_SKIP() << "the kernel makes no veth interface in a namespace (see above)";         \
    }                                                                                          \
    EXPECT_EQ(status, 0) << "the test failed in its namespace (see above)";                    \
    return;                                                                                    \
  }

Ipv6Reading Read() {
  Ipv6Reading reading = ReadIpv6Addresses();
  EXPECT_TRUE(reading.Ok()) << reading.Error;
  return reading;
}

const Ipv6InterfaceAddress* WithFlag(const Ipv6Reading& reading, std::uint32_t flag) {
  for (const auto& a : reading.Addresses) {
    if ((a.Flags & flag) != 0 && IsGlobalIpv6(a.Bytes)) {
      return &a;
    }
  }
  return nullptr;
}

// The kernel makes the temporary address a moment after its base address.
Ipv6Reading ReadOnceTemporaryIsThere() {
  Ipv6Reading reading;
  for (int attempt = 0; attempt < 500; ++attempt) {
    reading = Read();
    const auto* temporary = WithFlag(reading, ipv6flag::kTemporary);
    if (temporary && (temporary->Flags & ipv6flag::kTentative) == 0) {
      break;
    }
    std::this_thread::sleep_for(20ms);
  }
  return reading;
}

TEST(GlobalIpv6NamespaceTest, TheStableAddressOverAllOthers) {
  TAVRO_IN_OWN_NETWORK_NAMESPACE();
  const VethPair pair = MakeVethPair();
  // The lower interface, tried first, gets only what must be passed over,
  // each of it configured (so that it would come first on its interface).
  ASSERT_TRUE(Ip("-6 addr add fe80::10/64 dev " + pair.Low + " nodad"));
  ASSERT_TRUE(Ip("-6 addr add fd00::10/64 dev " + pair.Low + " nodad"));
  ASSERT_TRUE(Ip("-6 addr add 2001:db8::10/64 dev " + pair.Low + " nodad"));
  ASSERT_TRUE(Ip("-6 addr add 2400:0::10/64 dev " + pair.Low));  // stays tentative
  EXPECT_EQ(Chosen(Read().Addresses), "none");

  // The higher one: a deprecated address numerically below the stable one,
  // and the stable one high enough that its temporary addresses sort below it.
  ASSERT_TRUE(Ip("-6 addr add 2400:1::20/64 dev " + pair.High + " preferred_lft 0 valid_lft 3600"));
  ASSERT_TRUE(Ip("-6 addr add 2400:3::ffff:ffff:ffff:fff0/64 dev " + pair.High +
                 " mngtmpaddr preferred_lft 3600 valid_lft 7200"));
  const Ipv6Reading reading = ReadOnceTemporaryIsThere();
  ASSERT_TRUE(WithFlag(reading, ipv6flag::kTemporary)) << "the kernel made no temporary address";
  EXPECT_TRUE(WithFlag(reading, ipv6flag::kTentative));
  EXPECT_TRUE(WithFlag(reading, ipv6flag::kDeprecated));
  const auto chosen = ChooseStableIpv6(reading.Addresses);
  ASSERT_TRUE(chosen);
  EXPECT_EQ(chosen->Text(), "2400:3::ffff:ffff:ffff:fff0");
  EXPECT_EQ(chosen->InterfaceIndex, ::if_nametoindex(pair.High.c_str()));
  EXPECT_EQ(Chosen(Read().Addresses), "2400:3::ffff:ffff:ffff:fff0");
}

}  // namespace
