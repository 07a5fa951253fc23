#ifndef DEVICE_MEMORY_HPP_
#define DEVICE_MEMORY_HPP_

#include <cstddef>
#include <functional>

#include "driver_types.h"

namespace cuda_stand_in
{

// True when [pointer, pointer + bytes) lies inside one live cudaMalloc allocation.
bool isDeviceRange(const void * pointer, std::size_t bytes);

// Queues `work` on `stream` (0: the default stream); it runs when the host waits for that
// stream. cudaErrorInvalidResourceHandle for a stream that does not exist, the sticky error
// after a device fault.
cudaError_t enqueue(cudaStream_t stream, std::function<void()> work);

// Called by every kernel launch (an engine run): cudaSuccess, or the sticky error of a device
// fault, which a fault armed by faultNextLaunch raises now.
cudaError_t launchKernel();

}  // namespace cuda_stand_in

#endif  // DEVICE_MEMORY_HPP_
