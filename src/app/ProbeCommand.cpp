#include "app/ProbeCommand.h"

#include "platform/CauseLine.h"
#include "platform/SystemNameResolver.h"
#include "probe/AddressProbe.h"
#include "probe/WanSources.h"
#include "registry/RegistryStore.h"

#include <iostream>
#include <string_view>
#include <vector>

namespace tavro {

namespace {

// Server texts end in CR LF; one line each on a terminal reads better.
std::string_view WithoutLineEnd(std::string_view text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) {
    text.remove_suffix(1);
  }
  return text;
}

}  // namespace

int RunProbe(const Settings& settings, std::shared_ptr<INameResolver> resolver,
             const SmtpTimeouts& timeouts, std::ostream& out, const Ipv6Reader& readIpv6) {
  // First, as the window has it: the address is the machine's own and needs
  // no server.
  const Ipv6Reading ipv6 = readIpv6();
  if (!ipv6.Ok()) {
    out << kIpv6ReadFailedText << '\n' << CauseLine(ipv6.Error) << '\n';
  }
  std::optional<std::string> lan;
  std::optional<std::string> wan;
  AddressProbe probe(std::move(resolver), [&](std::uint32_t code, const std::string* payload) {
    if (code == TE_STATUS_TEXT && payload != nullptr) {
      out << WithoutLineEnd(*payload) << '\n' << std::flush;
    } else if (code == TE_LAN_ADDRESS && payload != nullptr) {
      lan = *payload;
    } else if (code == TE_WAN_ADDRESS && payload != nullptr) {
      wan = *payload;
    }
  });
  probe.ProbeAddresses({settings.Trace, settings.IPMode, timeouts});
  if (const auto warning = wan ? WanAddressWarning(*wan) : std::nullopt) {
    out << warning->LogLine << '\n';
  }
  out << "LAN: " << lan.value_or("") << '\n'
      << "WAN: " << wan.value_or("") << '\n'
      << "IPv6: " << StableIpv6Text(ipv6) << '\n'
      << std::flush;
  // The same test as the probe's own: only "LAN", exactly, stops at the LAN.
  const bool found = settings.IPMode == "LAN" ? lan.has_value() : wan.has_value();
  return found ? 0 : 1;
}

int RunProbeCommand(IRegistryStore& store, std::ostream& out, std::ostream& err) {
  // Read alone: a probe changes nothing, so it must not rewrite the file (a
  // load rewrites the description value, and creates the key in a file that
  // lacks it), nor set aside a file it cannot fully read.
  Settings settings;
  std::vector<SettingsFallback> fallbacks;
  if (!ReadSettings(store, settings, fallbacks)) {
    err << "tavro: the settings could not be read; probing with the defaults\n";
  }
  for (const auto& fallback : fallbacks) {
    if (fallback.Value.empty()) {
      err << "tavro: part of the settings file could not be read and was skipped\n";
    } else {
      err << "tavro: the settings value \"" << fallback.Value
          << "\" could not be read; probing with its default\n";
    }
  }
  return RunProbe(settings, std::make_shared<SystemNameResolver>(), SmtpTimeouts{}, out);
}

std::optional<int> RunCommandLine(int argc, char** argv) {
  if (argc < 2 || std::string_view(argv[1]) != "--probe") {
    return std::nullopt;
  }
  const auto store = MakeRegistryStore();
  return RunProbeCommand(*store, std::cout, std::cerr);
}

}  // namespace tavro
