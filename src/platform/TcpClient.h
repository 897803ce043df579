// A TCP client over IPv4 in which no operation blocks beyond its time-out.
// The socket is non-blocking underneath; each call waits for readiness with
// poll, so a peer that stops answering costs at most the time-out.
#pragma once

#include "platform/Ipv4Address.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace tavro {

class TcpClient {
public:
  TcpClient() = default;
  ~TcpClient();
  TcpClient(const TcpClient&) = delete;
  TcpClient& operator=(const TcpClient&) = delete;

  bool Open();
  // A refusal, an unreachable host and a time-out all fail alike; the cause
  // tells them apart.
  bool Connect(Ipv4Address address, std::uint16_t port, std::chrono::milliseconds timeout);
  // One receive of at most size bytes: the count, 0 once the peer has closed,
  // -1 on an error or when nothing came within the time-out.
  std::ptrdiff_t Receive(char* buffer, std::size_t size, std::chrono::milliseconds timeout);
  // Sends every byte within the time-out.
  bool Send(std::string_view data, std::chrono::milliseconds timeout);
  void Close();
  bool IsOpen() const { return Socket >= 0; }
  // Why the last call that failed did: the system's error text
  // ("Connection refused", "No route to host"), or TimedOutCause of its
  // time-out. Empty while nothing has failed.
  const std::string& FailureCause() const { return Failure; }

private:
  // Whether the socket became ready; false with the cause set where the
  // deadline passed or poll failed.
  bool WaitFor(short events, std::chrono::steady_clock::time_point deadline,
               std::chrono::milliseconds timeout);
  bool Fail(int error);

  int Socket = -1;
  std::string Failure;
};

}  // namespace tavro
