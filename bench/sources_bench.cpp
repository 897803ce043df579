// A probe of three sources at once (the scripted mail server, a scripted STUN
// server and the check service, all on loopback) against the probe of each
// source alone, in the same run. Each round runs all four in turn, so that
// the load of a shared machine falls on every one alike; the figures are the
// medians. Goal: the three together within 1.3 times the slowest alone.
#include "platform/SystemNameResolver.h"
#include "probe/AddressProbe.h"
#include "servers/HttpCheckServer.h"
#include "servers/ScriptedSmtpPeer.h"
#include "servers/StunPeers.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 200;
  tavro::test::HttpCheckServer check;
  if (!check.Started()) {
    std::fprintf(stderr, "check service: %s\n", check.Error().c_str());
    return 1;
  }
  tavro::test::SmtpScript script;
  script.Answer = "250 mx.test Hello [203.0.113.7]\r\n";
  tavro::test::ScriptedSmtpPeer mail(script);
  tavro::test::ScriptedStunPeer stun([](const std::string& request) {
    return std::vector{
        tavro::test::StunSuccessFor(request, tavro::test::StunIpv4Address(true, 0xCB007107, 5000))};
  });

  const std::vector<std::pair<std::string, std::string>> probes{
      {"mail server alone", "127.0.0.1:" + std::to_string(mail.Port())},
      {"STUN alone", "stun:127.0.0.1:" + std::to_string(stun.Port())},
      {"check service alone", check.Url("/plain")},
  };
  std::string all;
  for (const auto& probe : probes) {
    all += (all.empty() ? "" : " ") + probe.second;
  }
  std::vector<std::pair<std::string, std::string>> runs = probes;
  runs.emplace_back("three sources at once", all);

  int found = 0;
  tavro::AddressProbe probe(std::make_shared<tavro::SystemNameResolver>(),
                            [&](std::uint32_t code, const std::string* payload) {
                              found += code == tavro::TE_WAN_ADDRESS && payload &&
                                       *payload == "203.0.113.7";
                            });
  std::vector<std::vector<double>> times(runs.size());
  for (int round = 0; round < rounds; ++round) {
    for (std::size_t i = 0; i < runs.size(); ++i) {
      const auto start = Clock::now();
      probe.ProbeAddresses({runs[i].second, "WAN", {}});
      times[i].push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    }
  }
  if (found != rounds * static_cast<int>(runs.size())) {
    std::fprintf(stderr, "%d of %zu probes found the address\n", found,
                 static_cast<std::size_t>(rounds) * runs.size());
    return 1;
  }
  double slowest = 0;
  double sum = 0;
  for (std::size_t i = 0; i < runs.size(); ++i) {
    const double median = Median(times[i]);
    std::printf("%-22s median %8.0f us over %d rounds\n", runs[i].first.c_str(), median, rounds);
    if (i + 1 < runs.size()) {
      slowest = std::max(slowest, median);
      sum += median;
    }
  }
  // On loopback a source's wait is the peers' CPU time, so the overlap is
  // only as good as the free cores: near 1 here means one after the other.
  std::printf("three sources / the three alone added up: %.2f\n", Median(times.back()) / sum);
  const double together = Median(times.back());
  std::printf("three sources / mail server alone: %.2f\n", together / Median(times[0]));
  std::printf("three sources / slowest alone: %.2f (goal <= 1.3)\n", together / slowest);
  return 0;
}
