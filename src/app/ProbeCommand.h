// `tavro --probe`: one address probe with the stored settings, without a
// window and without publishing, so that a user can check by hand whether
// the sources of the Trace setting answer with the address.
#pragma once

#include "platform/GlobalIpv6.h"
#include "platform/NameResolver.h"
#include "platform/Timeouts.h"
#include "settings/Settings.h"

#include <functional>
#include <memory>
#include <optional>
#include <ostream>

namespace tavro {

class IRegistryStore;

using Ipv6Reader = std::function<Ipv6Reading()>;

// Runs one probe: every log text (with several sources, each one's answer and
// the decision), the warning of a shared or private WAN address, and then
// the LAN, WAN and IPv6 addresses go to out. 0 where the address that IPMode
// selects was found (with several sources: where they agreed), 1 otherwise;
// the IPv6 address, found or not, leaves the status as it is.
int RunProbe(
    const Settings& settings, std::shared_ptr<INameResolver> resolver, const SmtpTimeouts& timeouts,
    std::ostream& out, const Ipv6Reader& readIpv6 = [] { return ReadIpv6Addresses(); });

// Reads the settings from the store without writing anything (a store that
// cannot be read gives the defaults, with a line on err, as does each value
// that cannot be taken) and runs the probe.
int RunProbeCommand(IRegistryStore& store, std::ostream& out, std::ostream& err);

// The command line's one command: the exit status where argv asks for it,
// nullopt where the program should start as usual.
std::optional<int> RunCommandLine(int argc, char** argv);

}  // namespace tavro
