// Test support: a small HTTPS server on 127.0.0.1 that records the requests it gets and
// answers each with a scripted status. A CA and a server certificate for 127.0.0.1 are
// made when it starts (naming the address only, not "localhost"); clients trust it
// through ca_file(), with verification on.
// One connection at a time, each closed after its answer. Methods are thread-safe.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/bio.h>
#include <openssl/ec.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace ombrix::testing {

struct SinkRequest {
  std::string method;
  std::string target;
  std::map<std::string, std::string> headers;  // names in lower case
  std::string body;
  std::chrono::steady_clock::time_point received;
};

class HttpsSink {
 public:
  HttpsSink() {
    // OpenSSL writes to the socket with write(): a client that hangs up during the
    // handshake (one refusing the certificate) must not kill the test process.
    std::signal(SIGPIPE, SIG_IGN);
    MakeCertificates();
    Listen();
    server_ = std::thread([this] { Serve(); });
  }
  ~HttpsSink() {
    stop_ = true;
    server_.join();
    std::error_code ignored;
    std::filesystem::remove(ca_file_, ignored);
  }
  HttpsSink(const HttpsSink&) = delete;
  HttpsSink& operator=(const HttpsSink&) = delete;

  std::string host() const { return "127.0.0.1:" + std::to_string(port_); }
  const std::string& ca_file() const { return ca_file_; }

  // The next requests are answered with these statuses, in order; after them, with the
  // default status (initially 204).
  void QueueStatuses(const std::vector<int>& statuses) {
    std::lock_guard<std::mutex> lock(mutex_);
    scripted_.insert(scripted_.end(), statuses.begin(), statuses.end());
  }
  void SetDefaultStatus(int status) {
    std::lock_guard<std::mutex> lock(mutex_);
    default_status_ = status;
  }

  std::vector<SinkRequest> requests() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
  }
  bool WaitForRequests(std::size_t count, std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return arrived_.wait_for(lock, timeout, [&] { return requests_.size() >= count; });
  }

 private:
  struct KeyDeleter {
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
  };
  struct CertDeleter {
    void operator()(X509* cert) const { X509_free(cert); }
  };
  struct ExtensionDeleter {
    void operator()(X509_EXTENSION* extension) const { X509_EXTENSION_free(extension); }
  };
  struct BioDeleter {
    void operator()(BIO* bio) const { BIO_free(bio); }
  };
  struct ContextDeleter {
    void operator()(SSL_CTX* context) const { SSL_CTX_free(context); }
  };
  struct SslDeleter {
    void operator()(SSL* ssl) const { SSL_free(ssl); }
  };
  using Key = std::unique_ptr<EVP_PKEY, KeyDeleter>;
  using Cert = std::unique_ptr<X509, CertDeleter>;

  class Socket {
   public:
    explicit Socket(int fd) : fd_(fd) {}
    ~Socket() {
      if (fd_ >= 0) ::close(fd_);
    }
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;
    int get() const { return fd_; }

   private:
    int fd_;
  };

  static void Check(bool ok, const char* what) {
    if (!ok) throw std::runtime_error(std::string("HttpsSink: ") + what);
  }

  static Cert MakeCert(EVP_PKEY* key, const char* common_name, X509* issuer,
                       EVP_PKEY* issuer_key, long serial,
                       const std::vector<std::pair<int, const char*>>& extensions) {
    Cert cert(X509_new());
    Check(cert != nullptr, "X509_new");
    X509_set_version(cert.get(), 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), serial);
    X509_gmtime_adj(X509_getm_notBefore(cert.get()), -3600);
    X509_gmtime_adj(X509_getm_notAfter(cert.get()), 24 * 3600);
    Check(X509_set_pubkey(cert.get(), key) == 1, "X509_set_pubkey");
    X509_NAME* name = X509_get_subject_name(cert.get());
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>(common_name), -1, -1, 0);
    X509* signer = issuer != nullptr ? issuer : cert.get();
    X509_set_issuer_name(cert.get(), X509_get_subject_name(signer));
    X509V3_CTX context;
    X509V3_set_ctx_nodb(&context);
    X509V3_set_ctx(&context, signer, cert.get(), nullptr, nullptr, 0);
    for (const auto& [nid, value] : extensions) {
      std::unique_ptr<X509_EXTENSION, ExtensionDeleter> extension(
          X509V3_EXT_conf_nid(nullptr, &context, nid, value));
      Check(extension != nullptr && X509_add_ext(cert.get(), extension.get(), -1) == 1,
            "certificate extension");
    }
    Check(X509_sign(cert.get(), issuer_key != nullptr ? issuer_key : key, EVP_sha256()) > 0,
          "X509_sign");
    return cert;
  }

  void MakeCertificates() {
    Key ca_key(EVP_EC_gen("P-256"));
    Key server_key(EVP_EC_gen("P-256"));
    Check(ca_key && server_key, "EVP_EC_gen");
    Cert ca = MakeCert(ca_key.get(), "telemetry test CA", nullptr, nullptr, 1,
                       {{NID_basic_constraints, "critical,CA:TRUE"},
                        {NID_key_usage, "critical,keyCertSign,cRLSign"},
                        {NID_subject_key_identifier, "hash"}});
    Cert server = MakeCert(server_key.get(), "127.0.0.1", ca.get(), ca_key.get(), 2,
                           {{NID_basic_constraints, "CA:FALSE"},
                            {NID_key_usage, "critical,digitalSignature"},
                            {NID_ext_key_usage, "serverAuth"},
                            {NID_subject_alt_name, "IP:127.0.0.1"},
                            {NID_subject_key_identifier, "hash"},
                            {NID_authority_key_identifier, "keyid:always"}});

    std::unique_ptr<BIO, BioDeleter> pem(BIO_new(BIO_s_mem()));
    Check(pem && PEM_write_bio_X509(pem.get(), ca.get()) == 1, "PEM_write_bio_X509");
    char* data = nullptr;
    const long size = BIO_get_mem_data(pem.get(), &data);
    ca_file_ = (std::filesystem::temp_directory_path() /
                ("ombrix_sink_ca_" + std::to_string(::getpid()) + "_" +
                 std::to_string(reinterpret_cast<std::uintptr_t>(this)) + ".pem"))
                   .string();
    std::ofstream(ca_file_, std::ios::binary).write(data, size);

    context_.reset(SSL_CTX_new(TLS_server_method()));
    Check(context_ != nullptr, "SSL_CTX_new");
    Check(SSL_CTX_use_certificate(context_.get(), server.get()) == 1 &&
              SSL_CTX_use_PrivateKey(context_.get(), server_key.get()) == 1 &&
              SSL_CTX_check_private_key(context_.get()) == 1,
          "server certificate");
  }

  void Listen() {
    listener_ = std::make_unique<Socket>(::socket(AF_INET, SOCK_STREAM, 0));
    Check(listener_->get() >= 0, "socket");
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    Check(::bind(listener_->get(), reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0,
          "bind");
    Check(::listen(listener_->get(), 16) == 0, "listen");
    socklen_t length = sizeof(address);
    Check(::getsockname(listener_->get(), reinterpret_cast<sockaddr*>(&address), &length) == 0,
          "getsockname");
    port_ = ntohs(address.sin_port);
  }

  void Serve() {
    while (!stop_) {
      pollfd ready{listener_->get(), POLLIN, 0};
      if (::poll(&ready, 1, 20) <= 0) continue;
      Socket connection(::accept(listener_->get(), nullptr, nullptr));
      if (connection.get() < 0) continue;
      timeval limit{5, 0};
      ::setsockopt(connection.get(), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof(limit));
      ::setsockopt(connection.get(), SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof(limit));
      std::unique_ptr<SSL, SslDeleter> ssl(SSL_new(context_.get()));
      if (!ssl || SSL_set_fd(ssl.get(), connection.get()) != 1 || SSL_accept(ssl.get()) != 1) {
        ERR_clear_error();  // a client that refused the certificate, for instance
        continue;
      }
      Answer(ssl.get());
      SSL_shutdown(ssl.get());
      ERR_clear_error();
    }
  }

  void Answer(SSL* ssl) {
    std::string data;
    char buffer[16384];
    std::size_t header_end;
    while ((header_end = data.find("\r\n\r\n")) == std::string::npos) {
      const int n = SSL_read(ssl, buffer, sizeof(buffer));
      if (n <= 0) return;
      data.append(buffer, n);
    }
    SinkRequest request;
    request.received = std::chrono::steady_clock::now();
    std::size_t line_end = data.find("\r\n");
    const std::string request_line = data.substr(0, line_end);
    const std::size_t space = request_line.find(' ');
    request.method = request_line.substr(0, space);
    request.target = request_line.substr(space + 1, request_line.rfind(' ') - space - 1);
    while (line_end < header_end) {
      const std::size_t next = data.find("\r\n", line_end + 2);
      const std::string line = data.substr(line_end + 2, next - line_end - 2);
      const std::size_t colon = line.find(':');
      if (colon != std::string::npos) {
        std::string name = line.substr(0, colon);
        std::transform(name.begin(), name.end(), name.begin(),
                       [](unsigned char c) { return std::tolower(c); });
        std::string value = line.substr(colon + 1);
        value.erase(0, value.find_first_not_of(' '));
        request.headers[name] = value;
      }
      line_end = next;
    }
    const auto length_header = request.headers.find("content-length");
    const std::size_t length =
        length_header == request.headers.end() ? 0 : std::stoul(length_header->second);
    request.body = data.substr(header_end + 4);
    while (request.body.size() < length) {
      const int n = SSL_read(ssl, buffer, sizeof(buffer));
      if (n <= 0) return;
      request.body.append(buffer, n);
    }

    // Recorded before answering: once the client has its answer, requests() shows it.
    int status;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      status = default_status_;
      if (!scripted_.empty()) {
        status = scripted_.front();
        scripted_.pop_front();
      }
      requests_.push_back(std::move(request));
    }
    arrived_.notify_all();
    const std::string response = "HTTP/1.1 " + std::to_string(status) + " Scripted\r\n" +
                                 (status == 204 ? "" : "Content-Length: 2\r\n") +
                                 "Connection: close\r\n\r\n" + (status == 204 ? "" : "{}");
    SSL_write(ssl, response.data(), static_cast<int>(response.size()));
  }

  std::string ca_file_;
  std::unique_ptr<SSL_CTX, ContextDeleter> context_;
  std::unique_ptr<Socket> listener_;
  uint16_t port_ = 0;
  std::atomic<bool> stop_{false};

  mutable std::mutex mutex_;
  mutable std::condition_variable arrived_;
  std::deque<int> scripted_;
  int default_status_ = 204;
  std::vector<SinkRequest> requests_;

  std::thread server_;  // last: it uses every member above
};

}  // namespace ombrix::testing
