#include "probe/WanSources.h"

#include "platform/AddressScope.h"
#include "platform/AsciiText.h"
#include "platform/CauseLine.h"
#include "platform/PublishableAddress.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <algorithm>
#include <array>
#include <cctype>

namespace tavro {

namespace {

constexpr std::string_view StunPrefix = "stun:";
constexpr std::size_t MaxSaidBytes = 64;

bool IsBlank(char c) {
  return c == ' ' || c == '\t';
}

// The address as bytes, so that two spellings of one IPv6 address compare
// equal; the family's size first, so v4 and v6 never do.
std::optional<std::array<unsigned char, 17>> AddressBytes(const std::string& bare) {
  std::array<unsigned char, 17> bytes{};
  if (::inet_pton(AF_INET, bare.c_str(), bytes.data() + 1) == 1) {
    bytes[0] = 4;
    return bytes;
  }
  if (::inet_pton(AF_INET6, bare.c_str(), bytes.data() + 1) == 1) {
    bytes[0] = 16;
    return bytes;
  }
  return std::nullopt;
}

// What a server wrote, safe for one line and short enough to list.
std::string Said(std::string_view text) {
  std::string bounded = BoundedCause(text);
  if (bounded.size() > MaxSaidBytes) {
    std::size_t cut = MaxSaidBytes;
    while (cut > 0 && (static_cast<unsigned char>(bounded[cut]) & 0xC0) == 0x80) {
      --cut;
    }
    bounded = bounded.substr(0, cut) + "...";
  }
  return bounded;
}

std::string WhatItSaid(const SourceAnswer& answer) {
  if (!answer.Address) {
    return Said(answer.Failure);
  }
  if (!PublishableAddress(*answer.Address)) {
    return "\"" + Said(*answer.Address) + "\" (no IPv4 or IPv6 address)";
  }
  return Said(*answer.Address);
}

}  // namespace

std::vector<std::string> SplitWanSources(std::string_view trace) {
  trace = trace.substr(0, trace.find('\0'));
  std::vector<std::string> sources;
  std::size_t at = 0;
  while (at < trace.size()) {
    while (at < trace.size() && IsBlank(trace[at])) {
      ++at;
    }
    const std::size_t start = at;
    while (at < trace.size() && !IsBlank(trace[at])) {
      ++at;
    }
    if (at > start) {
      sources.emplace_back(trace.substr(start, at - start));
    }
  }
  return sources;
}

bool IsStunSource(std::string_view source) {
  return StartsWithNoCase(source, StunPrefix);
}

std::optional<StunServerAddress> ParseStunSource(std::string_view source) {
  if (!IsStunSource(source)) {
    return std::nullopt;
  }
  std::string_view rest = source.substr(StunPrefix.size());
  StunServerAddress server;
  const std::size_t colon = rest.find(':');
  if (colon != std::string_view::npos) {
    const std::string_view digits = rest.substr(colon + 1);
    if (digits.empty() || digits.size() > 5 ||
        !std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; })) {
      return std::nullopt;
    }
    const unsigned long port = std::stoul(std::string(digits));
    if (port == 0 || port > 65535) {
      return std::nullopt;
    }
    server.Port = static_cast<std::uint16_t>(port);
    rest = rest.substr(0, colon);
  }
  if (rest.empty() || rest.find_first_of(std::string_view(" \t\0/", 4)) != std::string_view::npos) {
    return std::nullopt;
  }
  server.Host = std::string(rest);
  return server;
}

WanDecision DecideWanAddress(const std::vector<SourceAnswer>& answers) {
  WanDecision decision;
  std::optional<std::array<unsigned char, 17>> agreed;
  bool invalid = false;
  bool disagree = false;
  for (const SourceAnswer& answer : answers) {
    if (!answer.Address) {
      continue;
    }
    const auto bare = PublishableAddress(*answer.Address);
    const auto bytes = bare ? AddressBytes(*bare) : std::nullopt;
    if (!bytes) {
      invalid = true;
      continue;
    }
    if (!agreed) {
      agreed = bytes;
      char text[INET6_ADDRSTRLEN] = {};
      ::inet_ntop((*bytes)[0] == 4 ? AF_INET : AF_INET6, bytes->data() + 1, text, sizeof text);
      decision.Address = text;
    } else if (*agreed != *bytes) {
      disagree = true;
    }
    ++decision.Agreeing;
  }
  if (invalid) {
    decision.Cause = "a source answered with something that is no address";
  } else if (disagree) {
    decision.Cause = "the sources that answered disagree";
  } else if (decision.Agreeing < kMinAgreeingSources) {
    decision.Cause = "only " + std::to_string(decision.Agreeing) + " of " +
                     std::to_string(answers.size()) + " sources gave an address; at least " +
                     std::to_string(kMinAgreeingSources) + " must agree";
  } else {
    decision.Counts = true;
    return decision;
  }
  decision.Address.clear();
  return decision;
}

std::string SourceAnswerLine(const SourceAnswer& answer) {
  const bool good = answer.Address && PublishableAddress(*answer.Address);
  return (good ? "Msg: WANの情報源 " : "Err: WANの情報源 ") + Said(answer.Source) + ": " +
         WhatItSaid(answer);
}

std::string DisagreementLine(const std::vector<SourceAnswer>& answers) {
  std::string line = "Err: WANの情報源の答えが揃わないため、公開しません: ";
  for (std::size_t i = 0; i < answers.size(); ++i) {
    line += (i ? "; " : "") + Said(answers[i].Source) + " = " + WhatItSaid(answers[i]);
  }
  return line;
}

std::string AgreementLine(const WanDecision& decision) {
  return "Msg: WANの情報源 " + std::to_string(decision.Agreeing) + " 個が同じアドレス " +
         decision.Address + " を返しました。";
}

std::optional<AddressWarning> WanAddressWarning(std::string_view address) {
  switch (ScopeOfAddress(address)) {
    case AddressScope::SharedByProvider:
      return AddressWarning{
          "Msg: 注意: WANのIPアドレス " + std::string(address) +
              " は、プロバイダが複数の契約者で共有しているアドレスです (100.64.0.0/10)。"
              "公開したページのアドレスから外部がこのPCに届くことはありません。",
          "WANのIPアドレス " + std::string(address) +
              " はプロバイダが契約者で共有しているため、外部からこのPCには届きません。"};
    case AddressScope::PrivateNetwork:
      return AddressWarning{
          "Msg: 注意: WANのIPアドレス " + std::string(address) +
              " はプライベートネットワークのアドレスです。情報源がプライベートネットワークの"
              "内側から答えたため、公開したページのアドレスから外部がこのPCに届くことはありません"
              "。",
          "WANのIPアドレス " + std::string(address) +
              " はプライベートネットワークのアドレスです。情報源がネットワークの内側から答えました"
              "。"};
    case AddressScope::Public:
      break;
  }
  return std::nullopt;
}

}  // namespace tavro
