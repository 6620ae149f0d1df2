// A loopback TCP relay between a client and a server that a test can make misbehave the
// way networks do: stop forwarding with every connection left open (a partition, a host
// that vanished without a FIN), or cut the connections the moment the server answers (a
// reply lost after the server did the work), or only the one that sent a given statement.
// Test-only; one thread relays every connection, and the destructor closes everything.
#pragma once

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace ombrix_test {

class StallingRelay {
 public:
  enum class Mode { kForward, kStalled, kCutOnReply, kCutNextReply };

  explicit StallingRelay(int server_port) : server_port_(server_port) {
    listener_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address = Loopback(0);
    if (bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
        listen(listener_, 16) != 0) {
      close(listener_);
      throw std::runtime_error("relay: cannot listen on loopback");
    }
    socklen_t length = sizeof(address);
    getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] { Run(); });
  }
  ~StallingRelay() {
    stop_ = true;
    thread_.join();
    for (const auto& [client, server] : pairs_) {
      close(client);
      close(server);
    }
    close(listener_);
  }
  StallingRelay(const StallingRelay&) = delete;
  StallingRelay& operator=(const StallingRelay&) = delete;

  int port() const { return port_; }
  // Connections the relay has taken in so far.
  int accepted() const { return accepted_; }
  void Set(Mode mode) { mode_ = mode; }
  // Cuts, as kCutOnReply does, only the connection that next sends `bytes` (a statement's
  // text), as the reply comes back; then forwards again (kCutNextReply turns kForward).
  void CutReplyTo(std::string bytes) {
    std::lock_guard<std::mutex> lock(mutex_);
    cut_after_ = std::move(bytes);
    armed_client_ = -1;
    mode_ = Mode::kCutNextReply;
  }

 private:
  static sockaddr_in Loopback(int port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(port));
    return address;
  }

  void Accept() {
    const int client = accept(listener_, nullptr, nullptr);
    if (client < 0) return;
    const int server = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address = Loopback(server_port_);
    if (connect(server, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
      close(client);
      close(server);
      return;
    }
    pairs_.emplace_back(client, server);
    ++accepted_;
  }

  // Moves what is there from one side to the other; false when the pair is done.
  static bool Pass(int from, int to, std::string* seen = nullptr) {
    char buffer[16384];
    const ssize_t got = recv(from, buffer, sizeof(buffer), 0);
    if (got <= 0) return false;
    if (seen != nullptr) seen->assign(buffer, static_cast<size_t>(got));
    for (ssize_t sent = 0; sent < got;) {
      const ssize_t n = send(to, buffer + sent, static_cast<size_t>(got - sent), MSG_NOSIGNAL);
      if (n <= 0) return false;
      sent += n;
    }
    return true;
  }

  void Run() {
    while (!stop_) {
      const Mode mode = mode_;
      // A stalled relay reads nothing: what is sent waits in the kernel's buffers, and no
      // side learns that the other is gone.
      const size_t polled = mode == Mode::kStalled ? 0 : pairs_.size();
      std::vector<pollfd> fds{{listener_, POLLIN, 0}};
      for (size_t i = 0; i < polled; ++i) {
        fds.push_back({pairs_[i].first, POLLIN, 0});
        fds.push_back({pairs_[i].second, POLLIN, 0});
      }
      if (poll(fds.data(), fds.size(), 20) <= 0) continue;
      std::vector<std::pair<int, int>> kept;
      for (size_t i = 0; i < pairs_.size(); ++i) {
        const auto [client, server] = pairs_[i];
        bool open = true;
        std::lock_guard<std::mutex> lock(mutex_);
        const Mode now = mode_;  // CutReplyTo may have come since the poll
        if (i < polled && fds[1 + 2 * i].revents != 0) {
          std::string seen;
          open = Pass(client, server, &seen);
          if (now == Mode::kCutNextReply && seen.find(cut_after_) != std::string::npos) armed_client_ = client;
        }
        if (i < polled && open && fds[2 + 2 * i].revents != 0) {
          const bool cut_once = now == Mode::kCutNextReply && armed_client_ == client;
          open = now != Mode::kCutOnReply && !cut_once && Pass(server, client);
          if (cut_once) mode_ = Mode::kForward;
        }
        if (open) {
          kept.emplace_back(client, server);
        } else {
          close(client);
          close(server);
        }
      }
      pairs_ = std::move(kept);
      if (fds[0].revents != 0) Accept();
    }
  }

  const int server_port_;
  int listener_ = -1;
  int port_ = 0;
  std::atomic<Mode> mode_{Mode::kForward};
  std::atomic<bool> stop_{false};
  std::atomic<int> accepted_{0};
  std::vector<std::pair<int, int>> pairs_;  // (client, server); touched by the relay thread only
  std::mutex mutex_;       // guards the two below
  std::string cut_after_;  // kCutNextReply: what the connection to cut sends
  int armed_client_ = -1;  // the connection that sent it
  std::thread thread_;
};

}  // namespace ombrix_test
