#include <cuda_runtime_api.h>
#include <cuda_stand_in_faults.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <deque>
#include <functional>
#include <iterator>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <utility>
#include <vector>

#include "device_memory.hpp"

namespace
{

// A small embedded GPU's worth; tests exhaust it to provoke allocation failures.
constexpr std::size_t kDeviceMemoryBytes = std::size_t{256} << 20;

thread_local cudaError_t last_error = cudaSuccess;

// A fault armed for the next kernel launch, and the sticky error a fault left behind: as on a
// GPU, it belongs to the whole process, not to the thread that launched.
std::atomic<cudaError_t> armed_fault{cudaSuccess};
std::atomic<cudaError_t> sticky_error{cudaSuccess};

cudaError_t report(cudaError_t error)
{
  if (error != cudaSuccess) {
    last_error = error;
  }
  return error;
}

class DeviceMemory
{
public:
  static DeviceMemory & instance()
  {
    static DeviceMemory memory;
    return memory;
  }

  cudaError_t allocate(void ** pointer, std::size_t bytes)
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (bytes > kDeviceMemoryBytes - used_bytes_) {
      return cudaErrorMemoryAllocation;
    }
    std::unique_ptr<char[]> block(new (std::nothrow) char[bytes]);
    if (!block) {
      return cudaErrorMemoryAllocation;
    }
    *pointer = block.get();
    const auto address = reinterpret_cast<std::uintptr_t>(block.get());
    blocks_.emplace(address, Block{std::move(block), bytes});
    used_bytes_ += bytes;
    return cudaSuccess;
  }

  cudaError_t release(void * pointer)
  {
    std::lock_guard<std::mutex> lock(mutex_);
    auto block = blocks_.find(reinterpret_cast<std::uintptr_t>(pointer));
    if (block == blocks_.end()) {
      return cudaErrorInvalidValue;
    }
    used_bytes_ -= block->second.bytes;
    blocks_.erase(block);
    return cudaSuccess;
  }

  bool contains(const void * pointer, std::size_t bytes) const
  {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto begin = reinterpret_cast<std::uintptr_t>(pointer);
    auto after = blocks_.upper_bound(begin);
    if (after == blocks_.begin()) {
      return false;
    }
    const auto & [block_begin, block] = *std::prev(after);
    const std::size_t offset = begin - block_begin;
    return offset < block.bytes && bytes <= block.bytes - offset;
  }

  std::size_t freeBytes() const
  {
    std::lock_guard<std::mutex> lock(mutex_);
    return kDeviceMemoryBytes - used_bytes_;
  }

private:
  struct Block
  {
    std::unique_ptr<char[]> memory;
    std::size_t bytes;
  };

  mutable std::mutex mutex_;
  std::map<std::uintptr_t, Block> blocks_;
  std::size_t used_bytes_{0};
};

// Work queued per stream, run in order when the host waits for it.
class Streams
{
public:
  static Streams & instance()
  {
    static Streams streams;
    return streams;
  }

  cudaStream_t create()
  {
    std::lock_guard<std::mutex> lock(mutex_);
    auto stream = reinterpret_cast<cudaStream_t>(next_handle_++);
    queues_[stream];
    return stream;
  }

  bool destroy(cudaStream_t stream)
  {
    if (stream == nullptr || !run(stream)) {
      return false;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    queues_.erase(stream);
    return true;
  }

  bool enqueue(cudaStream_t stream, std::function<void()> work)
  {
    std::lock_guard<std::mutex> lock(mutex_);
    auto queue = queues_.find(stream);
    if (queue == queues_.end()) {
      return false;
    }
    queue->second.push_back(std::move(work));
    return true;
  }

  // Runs what `stream` holds; false when there is no such stream.
  bool run(cudaStream_t stream)
  {
    for (;;) {
      std::function<void()> work;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        auto queue = queues_.find(stream);
        if (queue == queues_.end()) {
          return false;
        }
        if (queue->second.empty()) {
          return true;
        }
        work = std::move(queue->second.front());
        queue->second.pop_front();
      }
      work();
    }
  }

  void runAll()
  {
    std::vector<cudaStream_t> streams;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      for (const auto & entry : queues_) {
        streams.push_back(entry.first);
      }
    }
    for (const cudaStream_t stream : streams) {
      run(stream);
    }
  }

private:
  Streams() {queues_[nullptr];}

  std::mutex mutex_;
  std::map<cudaStream_t, std::deque<std::function<void()>>> queues_;
  // Handles are never dereferenced; odd values keep them apart from real pointers.
  std::uintptr_t next_handle_{0x51};
};

cudaError_t checkCopy(void * dst, const void * src, size_t count, enum cudaMemcpyKind kind)
{
  if (dst == nullptr || src == nullptr) {
    return cudaErrorInvalidValue;
  }
  const bool dst_on_device = cuda_stand_in::isDeviceRange(dst, count);
  const bool src_on_device = cuda_stand_in::isDeviceRange(src, count);
  switch (kind) {
    case cudaMemcpyHostToHost:
    case cudaMemcpyDefault:
      return cudaSuccess;
    case cudaMemcpyHostToDevice:
      return dst_on_device ? cudaSuccess : cudaErrorInvalidValue;
    case cudaMemcpyDeviceToHost:
      return src_on_device ? cudaSuccess : cudaErrorInvalidValue;
    case cudaMemcpyDeviceToDevice:
      return dst_on_device && src_on_device ? cudaSuccess : cudaErrorInvalidValue;
  }
  return cudaErrorInvalidMemcpyDirection;
}

}  // namespace

namespace cuda_stand_in
{

bool isDeviceRange(const void * pointer, std::size_t bytes)
{
  return pointer != nullptr && DeviceMemory::instance().contains(pointer, bytes);
}

cudaError_t enqueue(cudaStream_t stream, std::function<void()> work)
{
  if (sticky_error != cudaSuccess) {
    return sticky_error;
  }
  return Streams::instance().enqueue(stream, std::move(work)) ?
         cudaSuccess : cudaErrorInvalidResourceHandle;
}

cudaError_t launchKernel()
{
  const cudaError_t fault = armed_fault.exchange(cudaSuccess);
  if (fault != cudaSuccess) {
    cudaError_t none = cudaSuccess;
    sticky_error.compare_exchange_strong(none, fault);
  }
  return sticky_error;
}

void faultNextLaunch(cudaError_t error)
{
  armed_fault = error;
}

void resetDevice()
{
  armed_fault = cudaSuccess;
  sticky_error = cudaSuccess;
  last_error = cudaSuccess;
}

}  // namespace cuda_stand_in

extern "C" {

cudaError_t cudaMalloc(void ** devPtr, size_t size)
{
  if (sticky_error != cudaSuccess) {
    return report(sticky_error);
  }
  if (devPtr == nullptr) {
    return report(cudaErrorInvalidValue);
  }
  *devPtr = nullptr;
  if (size == 0) {
    return cudaSuccess;
  }
  return report(DeviceMemory::instance().allocate(devPtr, size));
}

cudaError_t cudaFree(void * devPtr)
{
  if (devPtr == nullptr) {
    return cudaSuccess;
  }
  Streams::instance().runAll();
  if (sticky_error != cudaSuccess) {
    return report(sticky_error);
  }
  return report(DeviceMemory::instance().release(devPtr));
}

cudaError_t cudaMemcpy(void * dst, const void * src, size_t count, enum cudaMemcpyKind kind)
{
  if (count == 0) {
    return cudaSuccess;
  }
  const cudaError_t checked = checkCopy(dst, src, count, kind);
  if (checked != cudaSuccess) {
    return report(checked);
  }
  Streams::instance().runAll();
  if (sticky_error != cudaSuccess) {
    return report(sticky_error);
  }
  std::memmove(dst, src, count);
  return cudaSuccess;
}

cudaError_t cudaMemcpyAsync(
  void * dst, const void * src, size_t count, enum cudaMemcpyKind kind, cudaStream_t stream)
{
  if (sticky_error != cudaSuccess) {
    return report(sticky_error);
  }
  if (count == 0) {
    return cudaSuccess;
  }
  const cudaError_t checked = checkCopy(dst, src, count, kind);
  if (checked != cudaSuccess) {
    return report(checked);
  }
  return report(cuda_stand_in::enqueue(stream, [=]() {std::memmove(dst, src, count);}));
}

cudaError_t cudaStreamCreate(cudaStream_t * pStream)
{
  if (sticky_error != cudaSuccess) {
    return report(sticky_error);
  }
  if (pStream == nullptr) {
    return report(cudaErrorInvalidValue);
  }
  *pStream = Streams::instance().create();
  return cudaSuccess;
}

cudaError_t cudaStreamDestroy(cudaStream_t stream)
{
  if (sticky_error != cudaSuccess) {
    return report(sticky_error);
  }
  return report(
    Streams::instance().destroy(stream) ? cudaSuccess : cudaErrorInvalidResourceHandle);
}

cudaError_t cudaStreamSynchronize(cudaStream_t stream)
{
  const bool ran = Streams::instance().run(stream);
  if (sticky_error != cudaSuccess) {
    return report(sticky_error);
  }
  return report(ran ? cudaSuccess : cudaErrorInvalidResourceHandle);
}

cudaError_t cudaMemGetInfo(size_t * free, size_t * total)
{
  if (sticky_error != cudaSuccess) {
    return report(sticky_error);
  }
  if (free == nullptr || total == nullptr) {
    return report(cudaErrorInvalidValue);
  }
  *free = DeviceMemory::instance().freeBytes();
  *total = kDeviceMemoryBytes;
  return cudaSuccess;
}

cudaError_t cudaGetLastError(void)
{
  // A sticky error is never cleared.
  if (sticky_error != cudaSuccess) {
    return sticky_error;
  }
  const cudaError_t error = last_error;
  last_error = cudaSuccess;
  return error;
}

const char * cudaGetErrorString(cudaError_t error)
{
  switch (error) {
    case cudaSuccess:
      return "no error";
    case cudaErrorInvalidValue:
      return "invalid argument";
    case cudaErrorMemoryAllocation:
      return "out of memory";
    case cudaErrorInvalidMemcpyDirection:
      return "invalid copy direction for memcpy";
    case cudaErrorInvalidResourceHandle:
      return "invalid resource handle";
    case cudaErrorIllegalAddress:
      return "an illegal memory access was encountered";
    case cudaErrorLaunchTimeout:
      return "the launch timed out and was terminated";
    case cudaErrorAssert:
      return "device-side assert triggered";
    case cudaErrorHardwareStackError:
      return "hardware stack error";
    case cudaErrorIllegalInstruction:
      return "an illegal instruction was encountered";
    case cudaErrorMisalignedAddress:
      return "misaligned address";
    case cudaErrorInvalidAddressSpace:
      return "operation not supported on global/shared address space";
    case cudaErrorInvalidPc:
      return "invalid program counter";
    case cudaErrorLaunchFailure:
      return "unspecified launch failure";
  }
  return "unrecognized error code";
}

}  // extern "C"
