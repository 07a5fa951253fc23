#ifndef DEVICE_MEMORY_HPP_
#define DEVICE_MEMORY_HPP_

#include <cstddef>

namespace cuda_stand_in
{

// True when [pointer, pointer + bytes) lies inside one live cudaMalloc allocation.
bool isDeviceRange(const void * pointer, std::size_t bytes);

}  // namespace cuda_stand_in

#endif  // DEVICE_MEMORY_HPP_
