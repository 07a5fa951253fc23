#include <cuda_runtime_api.h>

#include <cstdint>
#include <cstring>
#include <iterator>
#include <map>
#include <memory>
#include <mutex>
#include <new>

#include "device_memory.hpp"

namespace
{

// A small embedded GPU's worth; tests exhaust it to provoke allocation failures.
constexpr std::size_t kDeviceMemoryBytes = std::size_t{256} << 20;

thread_local cudaError_t last_error = cudaSuccess;

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

}  // namespace

namespace cuda_stand_in
{

bool isDeviceRange(const void * pointer, std::size_t bytes)
{
  return pointer != nullptr && DeviceMemory::instance().contains(pointer, bytes);
}

}  // namespace cuda_stand_in

extern "C" {

cudaError_t cudaMalloc(void ** devPtr, size_t size)
{
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
  return report(DeviceMemory::instance().release(devPtr));
}

cudaError_t cudaMemcpy(void * dst, const void * src, size_t count, enum cudaMemcpyKind kind)
{
  if (count == 0) {
    return cudaSuccess;
  }
  if (dst == nullptr || src == nullptr) {
    return report(cudaErrorInvalidValue);
  }
  const bool dst_on_device = cuda_stand_in::isDeviceRange(dst, count);
  const bool src_on_device = cuda_stand_in::isDeviceRange(src, count);
  bool valid = false;
  switch (kind) {
    case cudaMemcpyHostToHost:
    case cudaMemcpyDefault:
      valid = true;
      break;
    case cudaMemcpyHostToDevice:
      valid = dst_on_device;
      break;
    case cudaMemcpyDeviceToHost:
      valid = src_on_device;
      break;
    case cudaMemcpyDeviceToDevice:
      valid = dst_on_device && src_on_device;
      break;
    default:
      return report(cudaErrorInvalidMemcpyDirection);
  }
  if (!valid) {
    return report(cudaErrorInvalidValue);
  }
  std::memmove(dst, src, count);
  return cudaSuccess;
}

cudaError_t cudaMemGetInfo(size_t * free, size_t * total)
{
  if (free == nullptr || total == nullptr) {
    return report(cudaErrorInvalidValue);
  }
  *free = DeviceMemory::instance().freeBytes();
  *total = kDeviceMemoryBytes;
  return cudaSuccess;
}

cudaError_t cudaGetLastError(void)
{
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
  }
  return "unrecognized error code";
}

}  // extern "C"
