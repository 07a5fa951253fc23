#ifndef CUDA_STAND_IN_CUDA_RUNTIME_API_H
#define CUDA_STAND_IN_CUDA_RUNTIME_API_H

#include <stddef.h>

#include "driver_types.h"

// CPU stand-in for the CUDA runtime: "device" memory is host memory drawn from a fixed
// budget, so exhausting it behaves like a full GPU. Invalid arguments return errors.
#ifdef __cplusplus
extern "C" {
#endif

cudaError_t cudaMalloc(void ** devPtr, size_t size);
cudaError_t cudaFree(void * devPtr);
cudaError_t cudaMemcpy(void * dst, const void * src, size_t count, enum cudaMemcpyKind kind);
cudaError_t cudaMemGetInfo(size_t * free, size_t * total);
cudaError_t cudaGetLastError(void);
const char * cudaGetErrorString(cudaError_t error);

#ifdef __cplusplus
}
#endif

#endif  // CUDA_STAND_IN_CUDA_RUNTIME_API_H
