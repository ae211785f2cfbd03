// SPDX-License-Identifier: GPL-3.0-or-later
// Prints the host's TSC rate in kHz, measured over 100 ms against CLOCK_MONOTONIC_RAW.
// Without KVM, qemu's guest TSC is the host's TSC; the microvm machine has no HPET to calibrate
// it against, and its PIT calibration fails now and then under TCG, so run-in-vm.sh passes this
// to the guest kernel as tsc_early_khz.
#include <stdio.h>
#include <time.h>
#include <x86intrin.h>

static double now(void) {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC_RAW, &ts);
  return ts.tv_sec + ts.tv_nsec / 1e9;
}

int main(void) {
  double t0 = now();
  unsigned long long c0 = __rdtsc();
  double t1;
  do t1 = now(); while (t1 - t0 < 0.1);
  unsigned long long c1 = __rdtsc();
  printf("%.0f\n", (c1 - c0) / (t1 - t0) / 1000.0);
  return 0;
}
