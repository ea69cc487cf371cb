// A small Modbus TCP server for zq modbus's benchmark (see modbus_bench_server.h).
#include "modbus_bench_server.h"

#include <arpa/inet.h>
#include <modbus/modbus.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

namespace {
constexpr int kBacklog = 8;
}

BenchModbusServer::BenchModbusServer(int registers) : registers_(registers) {}

BenchModbusServer::~BenchModbusServer() {
  if (thread_.joinable()) {
    char stop = 0;
    if (write(wake_[1], &stop, 1) != 1) {
      // The thread then ends with the process.
    }
    thread_.join();
  }
  for (int fd : {listen_fd_, wake_[0], wake_[1]}) {
    if (fd >= 0) close(fd);
  }
  if (mapping_) modbus_mapping_free(static_cast<modbus_mapping_t*>(mapping_));
  if (ctx_) modbus_free(static_cast<modbus_t*>(ctx_));
}

bool BenchModbusServer::start() {
  modbus_mapping_t* mapping = modbus_mapping_new(0, 0, registers_, registers_);
  if (!mapping) return false;
  for (int i = 0; i < registers_; ++i) {
    mapping->tab_registers[i] = static_cast<uint16_t>(i);
    mapping->tab_input_registers[i] = static_cast<uint16_t>(i);
  }
  mapping_ = mapping;
  ctx_ = modbus_new_tcp("127.0.0.1", 0);
  if (!ctx_ || pipe(wake_) != 0) return false;
  listen_fd_ = socket(AF_INET, SOCK_STREAM, 0);
  int on = 1;
  setsockopt(listen_fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in a = {};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof a;
  if (bind(listen_fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
      listen(listen_fd_, kBacklog) != 0 ||
      getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&a), &size) != 0) {
    return false;
  }
  port_ = ntohs(a.sin_port);
  thread_ = std::thread([this] { serve(); });
  return true;
}

void BenchModbusServer::serve() {
  modbus_t* ctx = static_cast<modbus_t*>(ctx_);
  modbus_mapping_t* mapping = static_cast<modbus_mapping_t*>(mapping_);
  std::vector<int> clients;
  uint8_t query[MODBUS_TCP_MAX_ADU_LENGTH];
  for (;;) {
    fd_set fds;
    FD_ZERO(&fds);
    FD_SET(listen_fd_, &fds);
    FD_SET(wake_[0], &fds);
    int top = std::max(listen_fd_, wake_[0]);
    for (int fd : clients) {
      FD_SET(fd, &fds);
      top = std::max(top, fd);
    }
    if (select(top + 1, &fds, nullptr, nullptr, nullptr) < 0) continue;
    if (FD_ISSET(wake_[0], &fds)) break;
    if (FD_ISSET(listen_fd_, &fds)) {
      int fd = accept(listen_fd_, nullptr, nullptr);
      if (fd >= 0) {
        int on = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        clients.push_back(fd);
      }
    }
    for (size_t i = 0; i < clients.size();) {
      int fd = clients[i];
      if (!FD_ISSET(fd, &fds)) {
        ++i;
        continue;
      }
      modbus_set_socket(ctx, fd);
      int rc = modbus_receive(ctx, query);
      if (rc > 0) {
        modbus_reply(ctx, query, rc, mapping);
        requests_.fetch_add(1, std::memory_order_relaxed);
        ++i;
      } else if (rc == -1) {
        close(fd);
        clients.erase(clients.begin() + static_cast<long>(i));
      } else {
        ++i;
      }
    }
  }
  for (int fd : clients) close(fd);
}
