#ifndef CUDA_STAND_IN_DRIVER_TYPES_H
#define CUDA_STAND_IN_DRIVER_TYPES_H

// The CUDA runtime's error and copy-direction vocabulary, with the real numeric values.
enum cudaError
{
  cudaSuccess = 0,
  cudaErrorInvalidValue = 1,
  cudaErrorMemoryAllocation = 2,
  cudaErrorInvalidMemcpyDirection = 21,
  cudaErrorInvalidResourceHandle = 400,
  // Device faults: each leaves the process's CUDA context unusable until the process ends.
  cudaErrorIllegalAddress = 700,
  cudaErrorLaunchTimeout = 702,
  cudaErrorAssert = 710,
  cudaErrorHardwareStackError = 714,
  cudaErrorIllegalInstruction = 715,
  cudaErrorMisalignedAddress = 716,
  cudaErrorInvalidAddressSpace = 717,
  cudaErrorInvalidPc = 718,
  cudaErrorLaunchFailure = 719,
};

typedef enum cudaError cudaError_t;

enum cudaMemcpyKind
{
  cudaMemcpyHostToHost = 0,
  cudaMemcpyHostToDevice = 1,
  cudaMemcpyDeviceToHost = 2,
  cudaMemcpyDeviceToDevice = 3,
  cudaMemcpyDefault = 4,
};

typedef struct CUstream_st * cudaStream_t;

#endif  // CUDA_STAND_IN_DRIVER_TYPES_H
