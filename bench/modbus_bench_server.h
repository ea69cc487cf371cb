// A small Modbus TCP server for zq modbus's benchmark: libmodbus on a
// loopback port, serving any number of connections from one thread, and
// counting the requests it answers.
#ifndef ZQ_BENCH_MODBUS_BENCH_SERVER_H_
#define ZQ_BENCH_MODBUS_BENCH_SERVER_H_

#include <atomic>
#include <cstdint>
#include <thread>

class BenchModbusServer {
 public:
  // Holding and input registers 0..registers-1 hold their address.
  explicit BenchModbusServer(int registers);
  ~BenchModbusServer();
  // Listens on 127.0.0.1 (a free port) and serves from a thread. False when
  // it cannot listen.
  bool start();
  int port() const { return port_; }
  // Requests answered so far.
  uint64_t requests() const { return requests_.load(std::memory_order_relaxed); }

 private:
  void serve();

  int registers_;
  int port_ = -1;
  int listen_fd_ = -1;
  int wake_[2] = {-1, -1};   // written to end the thread
  void* ctx_ = nullptr;      // modbus_t
  void* mapping_ = nullptr;  // modbus_mapping_t
  std::atomic<uint64_t> requests_{0};
  std::thread thread_;
};

#endif  // ZQ_BENCH_MODBUS_BENCH_SERVER_H_
