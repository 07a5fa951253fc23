#ifndef CUDA_STAND_IN_FAULTS_H
#define CUDA_STAND_IN_FAULTS_H

#include "driver_types.h"

// Only in the stand-in, for tests: device faults on demand.
namespace cuda_stand_in
{

// The next kernel launch (an engine run) faults with `error`, one of the device faults of
// driver_types.h. From then on every runtime call that touches the device returns it, and
// cudaGetLastError does not clear it, as in a real process whose CUDA context is lost.
void faultNextLaunch(cudaError_t error);

// A usable device again, which a real process never gets back: so that one test's fault does
// not outlive it.
void resetDevice();

// Arms a fault for the next launch; the device is usable again when this leaves scope, however
// the test ended.
class ScopedDeviceFault
{
public:
  explicit ScopedDeviceFault(cudaError_t error) {faultNextLaunch(error);}
  ~ScopedDeviceFault() {resetDevice();}
  ScopedDeviceFault(const ScopedDeviceFault &) = delete;
  ScopedDeviceFault & operator=(const ScopedDeviceFault &) = delete;
};

}  // namespace cuda_stand_in

#endif  // CUDA_STAND_IN_FAULTS_H
