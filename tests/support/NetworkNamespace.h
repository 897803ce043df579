// A network namespace of the test's own, for the tests that need interfaces
// and addresses of their choosing: the test program runs one of its tests
// again in a copy of itself inside a new namespace (as root without a user
// namespace, as anyone else with one), and everything the copy adds vanishes
// with it.
#pragma once

#include <string>
#include <vector>

namespace tavro::test {

// The copy's exit status where it could not make its interfaces: the kernel
// lacks what the test needs, a reason to skip rather than fail.
inline constexpr int kNoInterfaces = 77;

// This process is the copy, inside its namespace.
bool InOwnNetworkNamespace();

// Runs this program again with `arguments` (those that select the one test)
// in a new network namespace and returns the copy's exit status; -1 with
// `why` where no namespace can be made here. The copy is given two minutes.
int RerunInNetworkNamespace(const std::vector<std::string>& arguments, std::string& why);

// `ip` with the blank-separated arguments, its output on this program's; true
// where it succeeded, else a line on stderr.
bool Ip(const std::string& command);
// /proc/sys/net/ipv6/conf/<interface>/<name>.
void Ipv6Sysctl(const std::string& interface, const std::string& name, const std::string& value);

// A veth pair, up (a dummy interface never runs the duplicate check, and not
// every kernel has one): `Low`, the end with the lower index, which the
// address choice tries first, and `High`. Low checks its addresses slowly
// (100 probes a second apart), so one added without nodad stays tentative for
// the whole test; High makes temporary addresses and checks none, so they are
// usable at once. Ends the copy with kNoInterfaces where no pair can be made.
struct VethPair {
  std::string Low = "t6a";
  std::string High = "t6b";
};
VethPair MakeVethPair();

}  // namespace tavro::test
