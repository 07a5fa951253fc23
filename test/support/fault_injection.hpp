#ifndef FAULT_INJECTION_HPP_
#define FAULT_INJECTION_HPP_

#include <arpa/inet.h>
#include <httplib.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <opencv2/imgcodecs.hpp>

// Faults of the node's surroundings: a VLM server that answers badly or not at all, a file size
// limit standing in for a full disk, and a check of what failed archive writes leave behind.
namespace fault_injection
{

// Ignores one signal for the lifetime of the object; the previous disposition comes back after.
class IgnoredSignal
{
public:
  explicit IgnoredSignal(int signal_number)
  : signal_number_(signal_number)
  {
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    sigaction(signal_number_, &ignore, &previous_);
  }
  ~IgnoredSignal() {sigaction(signal_number_, &previous_, nullptr);}
  IgnoredSignal(const IgnoredSignal &) = delete;
  IgnoredSignal & operator=(const IgnoredSignal &) = delete;

private:
  int signal_number_;
  struct sigaction previous_ {};
};

// Caps the size of files the process may write, as a full disk would; writes past the cap fail
// with EFBIG (SIGXFSZ is ignored meanwhile, or it would end the process).
class FileSizeLimit
{
public:
  explicit FileSizeLimit(rlim_t bytes)
  : ignore_sigxfsz_(SIGXFSZ)
  {
    if (getrlimit(RLIMIT_FSIZE, &previous_) != 0) {
      throw std::runtime_error("cannot read RLIMIT_FSIZE");
    }
    struct rlimit limited = previous_;
    limited.rlim_cur = bytes;
    if (setrlimit(RLIMIT_FSIZE, &limited) != 0) {
      throw std::runtime_error("cannot lower RLIMIT_FSIZE");
    }
  }
  ~FileSizeLimit() {setrlimit(RLIMIT_FSIZE, &previous_);}
  FileSizeLimit(const FileSizeLimit &) = delete;
  FileSizeLimit & operator=(const FileSizeLimit &) = delete;

private:
  IgnoredSignal ignore_sigxfsz_;
  struct rlimit previous_ {};
};

// A loopback URL on which nothing listens: the port was bound and released again.
inline std::string refusedLoopbackUrl()
{
  const int socket_fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof(address);
  if (socket_fd < 0 || bind(socket_fd, reinterpret_cast<sockaddr *>(&address), length) != 0 ||
    getsockname(socket_fd, reinterpret_cast<sockaddr *>(&address), &length) != 0)
  {
    throw std::runtime_error("cannot bind a loopback port");
  }
  close(socket_fd);
  return "http://127.0.0.1:" + std::to_string(ntohs(address.sin_port));
}

// A loopback server answering every POST on "/" with the same status, body and content type,
// whatever was asked: HTML error pages, text that is not JSON, oversized replies.
class ScriptedHttpServer
{
public:
  ScriptedHttpServer(int status, std::string body, std::string content_type)
  {
    server_.Post(
      "/", [this, status, body = std::move(body), content_type = std::move(content_type)](
        const httplib::Request &, httplib::Response & response) {
        ++request_count_;
        response.status = status;
        response.set_content(body, content_type.c_str());
      });
    port_ = server_.bind_to_any_port("127.0.0.1");
    if (port_ < 0) {
      throw std::runtime_error("cannot bind a loopback port");
    }
    listener_ = std::thread([this] {server_.listen_after_bind();});
    while (!server_.is_running()) {
      std::this_thread::yield();
    }
  }

  ~ScriptedHttpServer()
  {
    server_.stop();
    listener_.join();
  }

  ScriptedHttpServer(const ScriptedHttpServer &) = delete;
  ScriptedHttpServer & operator=(const ScriptedHttpServer &) = delete;

  std::string url() const {return "http://127.0.0.1:" + std::to_string(port_);}
  std::size_t requestCount() const {return request_count_.load();}

private:
  httplib::Server server_;
  std::thread listener_;
  int port_{-1};
  std::atomic<std::size_t> request_count_{0};
};

// Files under `root` a reader must never meet: temporaries of unfinished writes and files that
// do not decode as images.
inline std::vector<std::string> damagedArchiveFiles(const std::string & root)
{
  std::vector<std::string> damaged;
  std::error_code ignored;
  for (const auto & entry : std::filesystem::recursive_directory_iterator(root, ignored)) {
    if (!entry.is_regular_file()) {
      continue;
    }
    const std::string path = entry.path().string();
    if (path.find(".partial") != std::string::npos || cv::imread(path).empty()) {
      damaged.push_back(path);
    }
  }
  return damaged;
}

inline std::size_t archivedFileCount(const std::string & root)
{
  std::size_t count = 0;
  std::error_code ignored;
  for (const auto & entry : std::filesystem::recursive_directory_iterator(root, ignored)) {
    count += entry.is_regular_file() ? 1 : 0;
  }
  return count;
}

}  // namespace fault_injection

#endif  // FAULT_INJECTION_HPP_
