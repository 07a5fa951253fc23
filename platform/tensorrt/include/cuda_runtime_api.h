#ifndef CUDA_STAND_IN_CUDA_RUNTIME_API_H
#define CUDA_STAND_IN_CUDA_RUNTIME_API_H

#include <stddef.h>

#include "driver_types.h"

// CPU stand-in for the CUDA runtime: "device" memory is host memory drawn from a fixed
// budget, so exhausting it behaves like a full GPU. Invalid arguments return errors. Work put
// on a stream (cudaMemcpyAsync, TensorRT's enqueueV3) runs only when the host waits for it:
// cudaStreamSynchronize of that stream, or a synchronous call (cudaMemcpy, cudaFree,
// cudaStreamDestroy), which waits for every stream as the legacy default stream does. Results
// read without that wait are therefore stale here, as they may be on a GPU.
#ifdef __cplusplus
extern "C" {
#endif

cudaError_t cudaMalloc(void ** devPtr, size_t size);
cudaError_t cudaFree(void * devPtr);
cudaError_t cudaMemcpy(void * dst, const void * src, size_t count, enum cudaMemcpyKind kind);
#ifdef __cplusplus
cudaError_t cudaMemcpyAsync(
  void * dst, const void * src, size_t count, enum cudaMemcpyKind kind, cudaStream_t stream = 0);
#else
cudaError_t cudaMemcpyAsync(
  void * dst, const void * src, size_t count, enum cudaMemcpyKind kind, cudaStream_t stream);
#endif
cudaError_t cudaStreamCreate(cudaStream_t * pStream);
cudaError_t cudaStreamDestroy(cudaStream_t stream);
cudaError_t cudaStreamSynchronize(cudaStream_t stream);
cudaError_t cudaMemGetInfo(size_t * free, size_t * total);
cudaError_t cudaGetLastError(void);
const char * cudaGetErrorString(cudaError_t error);

#ifdef __cplusplus
}
#endif

#endif  // CUDA_STAND_IN_CUDA_RUNTIME_API_H
